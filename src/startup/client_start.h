#pragma once
#include <memory>
#include <string>
#include <vector>

#include "catalogue/embedded_catalogue.h"
#include "startup/client_options.h"

namespace quobble {

// What the desktop app and the terminal client set up before their first
// search, in this order: the device root (--root, else QUOBBLE_ROOT, else the
// XDG data folder), the service endpoint (--endpoint, else QUOBBLE_ENDPOINT,
// else a catalogue started inside this process) and the service's headers
// (--headers-file or QUOBBLE_HEADERS_FILE, then --header), which become the
// core's ServiceEndpoint() and ServiceHeaders().
struct ClientStart {
  std::string root;  // the device root chosen
  bool rootUsable = false;
  // Set when the built-in catalogue serves this process: it must outlive
  // every search.
  std::unique_ptr<EmbeddedCatalogue> catalogue;
  std::string endpoint;  // empty when no service could be had
  // Why there is no service, for the user.
  std::string serviceProblem;
  // Why the headers could not be read; the client should not go on.
  std::string headersProblem;
  // Things the user should know that stop nothing.
  std::vector<std::string> warnings;
};

struct StartOptions {
  bool needsService = true;
  // For the built-in catalogue: at its home address, so that its product
  // links stay the same from run to run; the day's prices of
  // QUOBBLE_CATALOGUE_DATE when it is set.
  CatalogueOptions catalogue = HomeCatalogue();

  static CatalogueOptions HomeCatalogue() {
    CatalogueOptions options;
    options.atHome = true;
    options.dailyPrices = true;
    return options;
  }
};

ClientStart StartClient(const ClientSettings& settings, const StartOptions& options = {});

}  // namespace quobble
