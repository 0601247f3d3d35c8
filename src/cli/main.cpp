#include <unistd.h>

#include <iostream>
#include <string>

#include "cli/cli_app.h"
#include "platform/command_line.h"
#include "platform/stop_signals.h"
#include "startup/client_start.h"

using namespace quobble;

namespace {

int Run(const CliOptions& options) {
  CliApp app(options, std::cout, std::cerr, ::isatty(STDERR_FILENO) != 0);
  if (!app.Prepare()) return 1;
  switch (options.mode) {
    case CliOptions::Mode::Search:
      return app.RunOnce();
    case CliOptions::Mode::Interactive:
      return app.RunInteractive(STDIN_FILENO, ::isatty(STDIN_FILENO) != 0);
    case CliOptions::Mode::WishAdd:
    case CliOptions::Mode::WishList:
    case CliOptions::Mode::WishRemove:
      return app.RunWish();
    default:
      return app.RunWatch();
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  CliOptions options;
  if (const int code = ParseCliArguments(ArgumentList(argc, argv), options, std::cout, std::cerr);
      code >= 0)
    return code;

  // Before any other thread starts.
  if (!InstallStopSignals()) std::cerr << "quobble-cli: cannot catch SIGINT and SIGTERM\n";
  StartOptions startOptions;
  startOptions.needsService = options.NeedsService();
  // The catalogue (if any) outlives the client that talks to it.
  const ClientStart start = StartClient(options.client, startOptions);
  if (!start.rootUsable) {
    std::cerr << "quobble-cli: cannot use " << start.root << " as the device root\n";
    return 1;
  }
  if (!start.headersProblem.empty()) {
    std::cerr << "quobble-cli: " << start.headersProblem << "\n";
    return 1;
  }
  for (const std::string& warning : start.warnings)
    std::cerr << "quobble-cli: warning: " << warning << "\n";
  if (startOptions.needsService && start.endpoint.empty()) {
    std::cerr << "quobble-cli: " << start.serviceProblem
              << "\nGive a service with --endpoint URL or QUOBBLE_ENDPOINT.\n";
    return 1;
  }
  return Run(options);
}
