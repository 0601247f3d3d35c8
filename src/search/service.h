#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace quobble {

// The shopping search service the client talks to: where it is, and the
// request headers (credentials, typically) it wants. Both are set once at
// start-up, before any search, and read by every search.

// scheme://host[:port], optionally with a path that replaces "/search"
// ("http://h:8080/v1/shop"). Trailing '/' are dropped.
void SetServiceEndpoint(std::u16string_view endpoint);
// What came before the path: scheme://host[:port].
std::u16string ServiceEndpoint();
// The request path: the endpoint's own, else "/search".
std::u16string ServicePath();
// --endpoint if given, else QUOBBLE_ENDPOINT, else empty (start the embedded
// catalogue).
std::string ConfiguredEndpoint(const char* endpointArgument);
// Empty when `endpoint` can be used: http or https, a host, no user name or
// password in it, no query, no fragment, nothing a request line cannot
// carry. Else what is wrong.
std::string EndpointProblem(std::string_view endpoint);
// An address as a message may show it: a user name and password in front of
// the host, and the value of every "key" parameter, become "…".
std::string MaskSecrets(std::string_view url);

// Checks one "Name: value" header and gives it back as "Name: value" with the
// white space around the value trimmed. Empty `problem` when it can be sent.
std::string NormalizeHeader(std::string_view line, std::string& problem);
// The headers of a file, one a line ('#' comments and blank lines skipped).
// False with `problem` set ("FILE line N: ...") when the file cannot be read
// or a line is not a header. `exposed` is set when users other than the
// owner may read the file (its headers may be secrets).
bool ReadHeadersFile(const std::string& path, std::vector<std::string>& headers,
                     std::string& problem, bool& exposed);
// The headers every request to the service carries, and only those: never a
// thumbnail request, never a redirect to another host.
void SetServiceHeaders(const std::vector<std::string>& headers);
// As the internet library takes them: "Name: value\r\n" each; empty for none.
std::u16string ServiceHeaders();

}  // namespace quobble
