#pragma once
// Ours and a peer in one process, timed in turns. Google Benchmark's own
// figure for a benchmark is one side's mean (and, by default, CPU time),
// which says little when two things share a loaded two-core machine: the
// comparison only holds when both sides run under the same load, caches and
// storage state, and when one outlier cannot move the result.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace quobble::bench {

inline double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  const size_t mid = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<long>(mid), values.end());
  const double upper = values[mid];
  if (values.size() % 2 != 0) return upper;
  const double lower = *std::max_element(values.begin(), values.begin() + static_cast<long>(mid));
  return (lower + upper) / 2;
}

// Each iteration times one run of ours and one of the peer with the steady
// clock; which goes first alternates, so that neither always inherits the
// other's warm caches or dirty pages. Each side's clean-up runs right after
// it, untimed. `work` returns false on failure.
//
// Counters: ours_med_us and peer_med_us, the medians of the wall times;
// ratio = peer median / our median, so >= 1 means ours is at least as fast.
// Register with UseManualTime(): the Time column is then our mean wall time;
// the CPU column covers both sides and their clean-ups and is no result.
template <typename Ours, typename OursDone, typename Peer, typename PeerDone>
void Paired(benchmark::State& state, Ours ours, OursDone oursDone, Peer peer, PeerDone peerDone) {
  using Clock = std::chrono::steady_clock;
  const auto timed = [&](auto& work, auto& done) {
    const auto start = Clock::now();
    const bool ok = work();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    done();
    if (!ok) state.SkipWithError("failed");
    return seconds;
  };
  std::vector<double> oursTimes, peerTimes;
  oursTimes.reserve(static_cast<size_t>(state.max_iterations));
  peerTimes.reserve(static_cast<size_t>(state.max_iterations));
  bool oursFirst = true;
  for (auto _ : state) {
    double oursS, peerS;
    if (oursFirst) {
      oursS = timed(ours, oursDone);
      peerS = timed(peer, peerDone);
    } else {
      peerS = timed(peer, peerDone);
      oursS = timed(ours, oursDone);
    }
    oursFirst = !oursFirst;
    state.SetIterationTime(oursS);
    oursTimes.push_back(oursS);
    peerTimes.push_back(peerS);
  }
  const double oursMedian = Median(oursTimes);
  const double peerMedian = Median(peerTimes);
  state.counters["ours_med_us"] = oursMedian * 1e6;
  state.counters["peer_med_us"] = peerMedian * 1e6;
  if (oursMedian > 0) state.counters["ratio"] = peerMedian / oursMedian;
}

}  // namespace quobble::bench
