#include "startup/client_start.h"

#include <cstdlib>

#include "platform/device_fs.h"
#include "platform/internet.h"
#include "platform/text.h"
#include "search/search_state.h"
#include "search/service.h"

namespace quobble {

namespace {

// An hour: no download still going on is that old.
constexpr int64_t kStaleSeconds = 3600;

// What earlier runs left in the data folder: temporary downloads a crash or
// a power cut stopped, and the spare answer files an older version kept
// beside the answer.
void RemoveLeftovers() {
  (void)RemoveStaleTemporaryFiles(kDataFolder, kStaleSeconds);
  for (const char16_t* spare : {u".next", u".previous"})
    (void)DeleteDeviceFile(AnswerFilePath(kDataFolder) + spare);
}

void StartService(const ClientSettings& settings, const StartOptions& options, ClientStart& start) {
  const std::string configured =
      ConfiguredEndpoint(settings.endpoint.empty() ? nullptr : settings.endpoint.c_str());
  if (!configured.empty()) {
    const std::string problem = EndpointProblem(configured);
    if (problem.empty())
      start.endpoint = configured;
    else
      start.serviceProblem =
          "the endpoint \"" + MaskSecrets(configured) + "\" cannot be used: " + problem;
  } else {
    std::string why;
    CatalogueOptions catalogue = options.catalogue;
    if (const char* date = std::getenv("QUOBBLE_CATALOGUE_DATE"); date != nullptr && *date != 0)
      catalogue.date = date;
    start.catalogue = EmbeddedCatalogue::Start(catalogue, &why);
    if (start.catalogue)
      start.endpoint = start.catalogue->Endpoint();
    else
      start.serviceProblem = why.empty() ? "the built-in catalogue did not start" : why;
  }
  SetServiceEndpoint(Utf8ToUtf16(start.endpoint));
}

void LoadHeaders(const ClientSettings& settings, ClientStart& start) {
  std::string file = settings.headersFile;
  if (const char* env = std::getenv("QUOBBLE_HEADERS_FILE"); file.empty() && env != nullptr)
    file = env;
  std::vector<std::string> headers;
  bool exposed = false;
  if (!file.empty() && !ReadHeadersFile(file, headers, start.headersProblem, exposed)) return;
  if (exposed)
    start.warnings.push_back("the headers file " + file +
                             " may be read by other users; its headers may be secrets "
                             "(chmod 600 it)");
  headers.insert(headers.end(), settings.headers.begin(), settings.headers.end());
  SetServiceHeaders(headers);
}

}  // namespace

ClientStart StartClient(const ClientSettings& settings, const StartOptions& options) {
  ClientStart start;
  start.root = ResolveDeviceRoot(settings.root.empty() ? nullptr : settings.root.c_str());
  start.rootUsable = SetDeviceRoot(start.root);
  if (start.rootUsable) RemoveLeftovers();
  if (!options.needsService) return start;
  SetInternetTimeout(settings.timeoutSeconds > 0 ? settings.timeoutSeconds
                                                 : kDefaultInternetTimeoutSeconds);
  LoadHeaders(settings, start);
  if (!start.headersProblem.empty()) return start;
  StartService(settings, options, start);
  return start;
}

}  // namespace quobble
