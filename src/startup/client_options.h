#pragma once
#include <string>
#include <vector>

#include "platform/command_line.h"

namespace quobble {

// What the desktop app and the terminal client are told about where their
// data lives and which service they use, from the command line.
struct ClientSettings {
  std::string root;                  // --root; empty: not given
  std::string endpoint;              // --endpoint; empty: not given
  std::vector<std::string> headers;  // --header, each checked ("Name: value")
  std::string headersFile;           // --headers-file; empty: not given
  int timeoutSeconds = 0;            // --timeout; 0: not given (60 s)
};

// The options both clients take: --endpoint, --root, --header,
// --headers-file and --timeout, checked as they are read.
std::vector<CommandOption> ClientOptionTable(ClientSettings& settings);

}  // namespace quobble
