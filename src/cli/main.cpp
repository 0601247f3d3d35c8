#include <unistd.h>

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "catalogue/embedded_catalogue.h"
#include "cli/cli_app.h"
#include "platform/device_fs.h"
#include "platform/text.h"
#include "search/search_state.h"

using namespace quobble;

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  const std::vector<std::string> args(argv + 1, argv + argc);
  CliOptions options;
  std::string error;
  if (!ParseCliArguments(args, options, error)) {
    std::cerr << "quobble-cli: " << error << "\nTry 'quobble-cli --help'.\n";
    return 2;
  }
  if (options.mode == CliOptions::Mode::Help) {
    std::cout << CliUsage();
    return 0;
  }

  const std::string root = ResolveDeviceRoot(options.root.empty() ? nullptr : options.root.c_str());
  if (!SetDeviceRoot(root)) {
    std::cerr << "quobble-cli: cannot use " << root << " as the device root\n";
    return 1;
  }

  // The catalogue outlives the client that talks to it.
  std::unique_ptr<EmbeddedCatalogue> catalogue;
  const bool searches =
      options.mode == CliOptions::Mode::Search || options.mode == CliOptions::Mode::Interactive;
  if (searches) {
    std::string endpoint =
        ConfiguredEndpoint(options.endpoint.empty() ? nullptr : options.endpoint.c_str());
    if (endpoint.empty()) {
      std::string why;
      catalogue = EmbeddedCatalogue::Start({}, &why);
      if (!catalogue) {
        std::cerr << "quobble-cli: cannot start the built-in catalogue"
                  << (why.empty() ? "" : ": " + why)
                  << "\nGive a service with --endpoint URL or QUOBBLE_ENDPOINT.\n";
        return 1;
      }
      endpoint = catalogue->Endpoint();
    }
    SetServiceEndpoint(Utf8ToUtf16(endpoint));
  }

  int code = 1;
  {
    CliApp app(options, std::cout, std::cerr, ::isatty(STDERR_FILENO) != 0);
    if (!app.Prepare()) return 1;
    switch (options.mode) {
      case CliOptions::Mode::Search:
        code = app.RunOnce();
        break;
      case CliOptions::Mode::Interactive:
        code = app.RunInteractive(STDIN_FILENO, ::isatty(STDIN_FILENO) != 0);
        break;
      default:
        code = app.RunWish();
        break;
    }
  }
  return code;
}
