// quobble-catalogue: the stand-in shopping search service as a program of
// its own, for running the clients against a separate process.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "catalogue/catalogue_data.h"
#include "catalogue/catalogue_server.h"

namespace {

constexpr const char* kUsage =
    "usage: quobble-catalogue [--host ADDR] [--port N] [--catalogue FILE] [--key KEY]\n"
    "\n"
    "Answers GET /search like the shopping search service, from the bundled\n"
    "catalogue or from FILE (a TSV file in the same format), and serves the\n"
    "product pictures (/shop/img/...) and pages (/shop/product/ID).\n"
    "\n"
    "  --host ADDR       address to listen on (default 127.0.0.1)\n"
    "  --port N          port to listen on, 0 for any free one (default 8080)\n"
    "  --catalogue FILE  serve this catalogue instead of the bundled one\n"
    "  --key KEY         the API key to accept (default: the clients' placeholder key)\n"
    "  --help            show this text\n"
    "\n"
    "Logs one line per request to stderr; SIGINT or SIGTERM stops it.\n";

bool ParsePort(const char* text, int& port) {
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  if (errno || end == text || *end || value < 0 || value > 65535) return false;
  port = static_cast<int>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  quobble::catalogue::ServerConfig config;
  config.port = 8080;
  config.logRequests = true;
  std::string catalogueFile;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    bool takesValue = arg == "--host" || arg == "--port" || arg == "--catalogue" || arg == "--key";
    if (!takesValue) {
      std::fprintf(stderr, "quobble-catalogue: unknown option %s\n\n%s", arg.c_str(), kUsage);
      return 2;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "quobble-catalogue: %s needs a value\n", arg.c_str());
      return 2;
    }
    const char* value = argv[++i];
    if (arg == "--host") {
      config.host = value;
    } else if (arg == "--port") {
      if (!ParsePort(value, config.port)) {
        std::fprintf(stderr, "quobble-catalogue: --port wants a number from 0 to 65535\n");
        return 2;
      }
    } else if (arg == "--catalogue") {
      catalogueFile = value;
    } else {
      config.key = value;
    }
  }

  // Signals are taken by sigwait on the main thread; every thread started
  // from here on inherits the mask, so none of them is interrupted.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  std::string error;
  std::vector<quobble::catalogue::Product> products;
  bool loaded = catalogueFile.empty()
                    ? quobble::catalogue::ParseCatalogue(quobble::catalogue::BundledCatalogueText(),
                                                         products, error)
                    : quobble::catalogue::LoadCatalogueFile(catalogueFile, products, error);
  if (!loaded) {
    std::fprintf(stderr, "quobble-catalogue: %s\n", error.c_str());
    return 1;
  }
  const size_t count = products.size();
  auto server = quobble::catalogue::CatalogueServer::Create(std::move(products), config, error);
  if (!server) {
    std::fprintf(stderr, "quobble-catalogue: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(stderr, "quobble-catalogue: %zu products, listening on http://%s:%d\n", count,
               config.host.c_str(), server->Port());

  bool served = true;
  std::thread serving([&] {
    served = server->Run();
    // Wakes the main thread if serving ends without a signal.
    kill(getpid(), SIGUSR1);
  });
  int sig = 0;
  sigwait(&signals, &sig);
  server->Stop();
  serving.join();
  if (sig == SIGUSR1 || !served) {
    std::fprintf(stderr, "quobble-catalogue: the server stopped unexpectedly\n");
    return 1;
  }
  std::fprintf(stderr, "quobble-catalogue: stopped\n");
  return 0;
}
