#include "startup/client_options.h"

#include "platform/text.h"
#include "search/service.h"

namespace quobble {

std::vector<CommandOption> ClientOptionTable(ClientSettings& settings) {
  return {
      {"--endpoint", "URL",
       "the search service: scheme://host[:port], with a path\n"
       "when it answers elsewhere than /search; else\n"
       "QUOBBLE_ENDPOINT; else a catalogue started in this process",
       [&settings](const std::string& value) {
         const std::string problem = EndpointProblem(value);
         if (!problem.empty())
           return "--endpoint \"" + MaskSecrets(value) + "\" cannot be used: " + problem;
         settings.endpoint = value;
         return std::string();
       }},
      {"--root", "DIR",
       "the device root holding the data folder and the wish list;\n"
       "else QUOBBLE_ROOT; else $XDG_DATA_HOME/quobble\n(~/.local/share/quobble)",
       StoreIn(settings.root)},
      {"--header", "'NAME: VALUE'",
       "a header every request to the service carries (credentials);\n"
       "may be given more than once. Never sent with a thumbnail,\n"
       "nor to another host a redirect points at",
       [&settings](const std::string& value) {
         std::string problem;
         std::string header = NormalizeHeader(value, problem);
         if (!problem.empty()) return "--header: " + problem;
         settings.headers.push_back(std::move(header));
         return std::string();
       }},
      {"--headers-file", "FILE",
       "more such headers, one a line ('#' starts a comment), kept\n"
       "out of process lists; else QUOBBLE_HEADERS_FILE",
       StoreIn(settings.headersFile)},
      {"--timeout", "SECONDS",
       "the longest the answer, or one thumbnail, may take to arrive\n"
       "in whole (1 to 3600; 60 when not given)",
       [&settings](const std::string& value) {
         long long seconds = 0;
         if (!ParseWholeNumber(value, 1, 3600, seconds))
           return "--timeout \"" + value + "\" is not a number of seconds from 1 to 3600";
         settings.timeoutSeconds = static_cast<int>(seconds);
         return std::string();
       }},
  };
}

}  // namespace quobble
