#pragma once
#include <memory>
#include <string>

#include "catalogue/embedded_catalogue.h"

namespace quobble {

// What the desktop app and the terminal client set up before their first
// search, in this order: the device root (--root, else QUOBBLE_ROOT, else the
// XDG data folder), then the service endpoint (--endpoint, else
// QUOBBLE_ENDPOINT, else a catalogue started inside this process), which
// becomes the core's ServiceEndpoint().
struct ClientSettings {
  std::string root;      // --root; empty: not given
  std::string endpoint;  // --endpoint; empty: not given
  bool needsService = true;
  CatalogueOptions catalogue;  // for the built-in catalogue
};

struct ClientStart {
  std::string root;  // the device root chosen
  bool rootUsable = false;
  // Set when the built-in catalogue serves this process: it must outlive
  // every search.
  std::unique_ptr<EmbeddedCatalogue> catalogue;
  std::string endpoint;  // empty when no service could be had
  // Why the built-in catalogue did not start, for the user.
  std::string catalogueProblem;
};

ClientStart StartClient(const ClientSettings& settings);

}  // namespace quobble
