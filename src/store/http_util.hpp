// Small HTTP helpers shared by the client and the credential providers.
#pragma once

#include <string>
#include <vector>

namespace quorin_data::store::detail {

void curl_global_once();

// The text with the user information of every URL in it ("user:password@"
// after "scheme://", up to the host) replaced by "***@", for messages.
std::string redact_userinfo(std::string text);

struct SimpleResponse {
  long status = 0;
  std::string body;
};

// One request on a fresh handle (metadata services are asked rarely). Throws
// TransportError naming `what` on a connection failure or timeout; the body
// of the answer is never put into a message (it may hold secrets).
SimpleResponse http_simple(const std::string& method, const std::string& url,
                           const std::vector<std::string>& headers, long timeout_ms,
                           const std::string& what);

// A flat JSON object's string/number members (nested values are skipped).
// Returns false when the text is not a JSON object.
bool parse_flat_json(const std::string& text, std::vector<std::pair<std::string, std::string>>& out);

}  // namespace quorin_data::store::detail
