#pragma once

namespace quobble {

// The ways XmlChunkDecoder can turn UTF-8 into UTF-16. All give the same
// text; they differ only in speed and in what the processor must offer.
enum class XmlDecodePath {
  Scalar,  // plain C++, any machine
  Sse2,    // 16-byte blocks, every x86-64
  Avx2,    // 32-byte blocks, when the processor says it has AVX2
};

// The fastest path this machine runs.
XmlDecodePath BestXmlDecodePath();

// Makes every decoder use `path` from now on, so that tests and the fuzzer
// can hold each path against the others. A path the machine cannot run
// gives way to the best one it can.
void SetXmlDecodePath(XmlDecodePath path);

// The path decoders use now.
XmlDecodePath CurrentXmlDecodePath();

}  // namespace quobble
