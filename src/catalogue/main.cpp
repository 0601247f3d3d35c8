// quobble-catalogue: the stand-in shopping search service as a program of
// its own, for running the clients against a separate process.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <iostream>
#include <string>
#include <thread>

#include "catalogue/catalogue_data.h"
#include "catalogue/catalogue_server.h"
#include "catalogue/embedded_catalogue.h"
#include "catalogue/price_days.h"
#include "platform/command_line.h"
#include "platform/text.h"

namespace {

using quobble::catalogue::ServerConfig;

constexpr quobble::ProgramHelp kProgram = {
    "quobble-catalogue",
    "Usage: quobble-catalogue [OPTION]...",
    "Answers GET /search like the shopping search service, from the bundled\n"
    "catalogue or from FILE (a TSV file in the same format), and serves the\n"
    "product pictures (/shop/img/...) and pages (/shop/product/ID). Prices move\n"
    "from day to day, the same way in every run: most stay, some drop, some\n"
    "rise, and a few products are missing on some days.",
    "Logs one line per request to stderr; SIGINT or SIGTERM stops it. The day's\n"
    "prices are those of the day it started on (or of --date). A connection is\n"
    "closed when it sends nothing for 5 s, or when its request is not in 10 s\n"
    "after it was opened (or after the answer before it); requests whose\n"
    "framing is in doubt (two lengths, bare LF line ends, ...) are answered\n"
    "400 and their connection closed.",
};

struct Settings {
  ServerConfig config;
  std::string catalogueFile;
  int64_t day = quobble::catalogue::CatalogueToday();
};

// A whole number from `low` to `high` into `field`.
std::function<std::string(const std::string&)> StoreNumber(const char* option, int low, int high,
                                                           int& field) {
  return [=, &field](const std::string& value) {
    long long number = 0;
    if (!quobble::ParseWholeNumber(value, low, high, number)) {
      return std::string(option) + " wants a number from " + std::to_string(low) + " to " +
             std::to_string(high);
    }
    field = static_cast<int>(number);
    return std::string();
  };
}

std::vector<quobble::CommandOption> Options(Settings& s) {
  using quobble::StoreIn;
  static const std::string perAddressHelp =
      "at most N connections open from one client address (IPv6:\n"
      "from one /64 network), those beyond closed unanswered; 0 for\n"
      "no limit (default " +
      std::to_string(ServerConfig().maxConnectionsPerAddress) + ")";
  return {
      {"--host", "ADDR", "address to listen on (default 127.0.0.1)", StoreIn(s.config.host)},
      {"--port", "N", "port to listen on, 0 for any free one (default 8080)",
       StoreNumber("--port", 0, 65535, s.config.port)},
      {"--max-per-address", "N", perAddressHelp,
       StoreNumber("--max-per-address", 0, 1000000, s.config.maxConnectionsPerAddress)},
      {"--catalogue", "FILE", "serve this catalogue instead of the bundled one",
       StoreIn(s.catalogueFile)},
      {"--date", "YYYY-MM-DD", "serve the prices of this day (default: today)",
       [&s](const std::string& value) {
         if (!quobble::catalogue::ParseCatalogueDay(value, s.day))
           return "--date wants a day as YYYY-MM-DD, not \"" + value + "\"";
         return std::string();
       }},
      {"--key", "KEY", "the API key to accept (default: the clients' placeholder key)",
       StoreIn(s.config.key)},
      {"--require-header", "'NAME: VALUE'",
       "answer /search only to requests carrying this header (name in any\n"
       "case, value exactly), else 401; may be given more than once",
       [&s](const std::string& value) {
         quobble::catalogue::RequiredHeader header;
         if (!quobble::catalogue::ParseRequiredHeader(value, header)) {
           return "--require-header wants 'NAME: VALUE', not '" + value + "'";
         }
         s.config.requiredHeaders.push_back(std::move(header));
         return std::string();
       }},
  };
}

// Signals are taken by sigwait on the main thread; every thread started from
// here on inherits the mask, so none of them is interrupted.
sigset_t BlockStopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return signals;
}

std::unique_ptr<quobble::catalogue::CatalogueServer> StartServer(const Settings& settings) {
  std::string error;
  std::vector<quobble::catalogue::Product> products;
  if (!quobble::catalogue::LoadCatalogue(settings.catalogueFile, products, error)) {
    std::fprintf(stderr, "quobble-catalogue: %s\n", error.c_str());
    return nullptr;
  }
  quobble::catalogue::ApplyCatalogueDay(products, settings.day);
  const size_t count = products.size();
  auto server =
      quobble::catalogue::CatalogueServer::Create(std::move(products), settings.config, error);
  if (!server) {
    std::fprintf(stderr, "quobble-catalogue: %s\n", error.c_str());
    return nullptr;
  }
  long before = 0;
  const long files = quobble::catalogue::RaiseOpenFileLimit(before);
  std::fprintf(stderr,
               "quobble-catalogue: %zu products on %s, listening on http://%s:%d "
               "(open files: %ld, was %ld)\n",
               count, quobble::catalogue::CatalogueDayText(settings.day).c_str(),
               settings.config.host.c_str(), server->Port(), files, before);
  return server;
}

// Serves until SIGINT or SIGTERM; the exit status.
int Serve(quobble::catalogue::CatalogueServer& server, const sigset_t& signals) {
  bool served = true;
  std::thread serving([&] {
    served = server.Run();
    // Wakes the main thread if serving ends without a signal.
    kill(getpid(), SIGUSR1);
  });
  int sig = 0;
  sigwait(&signals, &sig);
  server.Stop();
  serving.join();
  if (sig == SIGUSR1 || !served) {
    std::fprintf(stderr, "quobble-catalogue: the server stopped unexpectedly\n");
    return 1;
  }
  std::fprintf(stderr, "quobble-catalogue: stopped\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  settings.config.port = quobble::kCatalogueHomePort;
  settings.config.logRequests = true;
  const auto parsed = quobble::ParseCommandLine(
      kProgram, Options(settings), quobble::ArgumentList(argc, argv), std::cout, std::cerr);
  if (!parsed.run) return parsed.exitCode;
  if (!parsed.operands.empty()) {
    std::fprintf(stderr, "quobble-catalogue: unexpected argument %s\nTry '%s --help'.\n",
                 parsed.operands[0].c_str(), kProgram.name.data());
    return 2;
  }
  const sigset_t signals = BlockStopSignals();
  auto server = StartServer(settings);
  if (!server) return 1;
  return Serve(*server, signals);
}
