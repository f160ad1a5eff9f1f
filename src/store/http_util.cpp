#include "store/http_util.hpp"

#include <curl/curl.h>

#include <mutex>
#include <string_view>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/text.hpp"

namespace quorin_data::store::detail {

void curl_global_once() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string redact_userinfo(std::string text) {
  for (std::size_t from = 0; (from = text.find("://", from)) != std::string::npos;) {
    const std::size_t start = from + 3;
    // The authority ends at the path, query or fragment, or where the URL does.
    std::size_t end = start;
    while (end < text.size() && std::string_view("/?#\"' \t\r\n<>").find(text[end]) == std::string_view::npos)
      ++end;
    const std::size_t at = text.rfind('@', end == start ? start : end - 1);
    if (at != std::string::npos && at >= start && at < end) {
      text.replace(start, at - start, "***");
      end = start + 3 + (end - at);
    }
    from = end;
  }
  return text;
}

static size_t collect(char* p, size_t sz, size_t n, void* ud) {
  auto* s = static_cast<std::string*>(ud);
  if (s->size() + sz * n > (1u << 20)) return 0;  // metadata answers are small
  s->append(p, sz * n);
  return sz * n;
}

SimpleResponse http_simple(const std::string& method, const std::string& url,
                           const std::vector<std::string>& headers, long timeout_ms,
                           const std::string& what) {
  curl_global_once();
  CURL* h = curl_easy_init();
  if (!h) throw TransportError(what + ": cannot create an HTTP handle");
  SimpleResponse r;
  curl_slist* hl = nullptr;
  for (const auto& x : headers) hl = curl_slist_append(hl, x.c_str());
  hl = curl_slist_append(hl, "Expect:");
  char errbuf[CURL_ERROR_SIZE] = {0};
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errbuf);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, hl);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, timeout_ms);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, timeout_ms * 2);
  curl_easy_setopt(h, CURLOPT_PROXY, "");
  curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &r.body);
  if (method == "PUT") {
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "PUT");
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, "");
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, 0L);
  } else if (method != "GET") {
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
  }
  CURLcode rc = curl_easy_perform(h);
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &r.status);
  curl_slist_free_all(hl);
  curl_easy_cleanup(h);
  if (rc != CURLE_OK) {
    std::string detail = errbuf[0] ? errbuf : curl_easy_strerror(rc);
    throw TransportError(redact_userinfo(what + ": " + detail));
  }
  return r;
}

namespace {
struct JsonParser {
  const std::string& s;
  std::size_t i = 0;
  void ws() {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
  }
  bool string(std::string& out) {
    if (i >= s.size() || s[i] != '"') return false;
    ++i;
    while (i < s.size()) {
      char c = s[i++];
      if (c == '"') return true;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (i >= s.size()) return false;
      char e = s[i++];
      switch (e) {
        case 'n': out.push_back('\n'); break;
        case 't': out.push_back('\t'); break;
        case 'r': out.push_back('\r'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'u': {
          if (i + 4 > s.size()) return false;
          unsigned v = 0;
          for (int k = 0; k < 4; ++k) {
            char h = s[i++];
            v <<= 4;
            if (h >= '0' && h <= '9') v |= h - '0';
            else if (h >= 'a' && h <= 'f') v |= h - 'a' + 10;
            else if (h >= 'A' && h <= 'F') v |= h - 'A' + 10;
            else return false;
          }
          text::append_utf8(out, v);  // at most U+FFFF: always appended
          break;
        }
        default: out.push_back(e);
      }
    }
    return false;
  }
  // Any value; scalars are returned as text.
  bool value(std::string& out, int depth) {
    if (depth > 64) return false;
    ws();
    if (i >= s.size()) return false;
    char c = s[i];
    if (c == '"') return string(out);
    if (c == '{' || c == '[') {
      char close = c == '{' ? '}' : ']';
      ++i;
      ws();
      if (i < s.size() && s[i] == close) {
        ++i;
        return true;
      }
      while (true) {
        std::string ignored;
        if (c == '{') {
          ws();
          if (!string(ignored)) return false;
          ws();
          if (i >= s.size() || s[i] != ':') return false;
          ++i;
        }
        std::string v;
        if (!value(v, depth + 1)) return false;
        ws();
        if (i >= s.size()) return false;
        if (s[i] == ',') {
          ++i;
          continue;
        }
        if (s[i] == close) {
          ++i;
          return true;
        }
        return false;
      }
    }
    std::size_t start = i;
    while (i < s.size() && s[i] != ',' && s[i] != '}' && s[i] != ']' && s[i] != ' ' &&
           s[i] != '\n' && s[i] != '\r' && s[i] != '\t')
      ++i;
    if (i == start) return false;
    out = s.substr(start, i - start);
    return true;
  }
};
}  // namespace

bool parse_flat_json(const std::string& text, std::vector<std::pair<std::string, std::string>>& out) {
  JsonParser p{text};
  p.ws();
  if (p.i >= text.size() || text[p.i] != '{') return false;
  ++p.i;
  p.ws();
  if (p.i < text.size() && text[p.i] == '}') return true;
  while (true) {
    p.ws();
    std::string k, v;
    if (!p.string(k)) return false;
    p.ws();
    if (p.i >= text.size() || text[p.i] != ':') return false;
    ++p.i;
    if (!p.value(v, 0)) return false;
    out.emplace_back(std::move(k), std::move(v));
    p.ws();
    if (p.i >= text.size()) return false;
    if (text[p.i] == ',') {
      ++p.i;
      continue;
    }
    if (text[p.i] == '}') return true;
    return false;
  }
}

}  // namespace quorin_data::store::detail
