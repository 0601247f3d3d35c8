#include "startup/client_start.h"

#include "platform/device_fs.h"
#include "platform/text.h"
#include "search/search_state.h"

namespace quobble {

ClientStart StartClient(const ClientSettings& settings) {
  ClientStart start;
  start.root = ResolveDeviceRoot(settings.root.empty() ? nullptr : settings.root.c_str());
  start.rootUsable = SetDeviceRoot(start.root);
  if (!settings.needsService) return start;

  start.endpoint =
      ConfiguredEndpoint(settings.endpoint.empty() ? nullptr : settings.endpoint.c_str());
  if (start.endpoint.empty()) {
    std::string why;
    start.catalogue = EmbeddedCatalogue::Start(settings.catalogue, &why);
    if (start.catalogue)
      start.endpoint = start.catalogue->Endpoint();
    else
      start.catalogueProblem = why.empty() ? "the built-in catalogue did not start" : why;
  }
  SetServiceEndpoint(Utf8ToUtf16(start.endpoint));
  return start;
}

}  // namespace quobble
