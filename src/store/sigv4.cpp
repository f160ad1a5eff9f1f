// AWS Signature Version 4 for S3 (OpenSSL SHA-256/HMAC).
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cctype>

#include "store/s3_client.hpp"

namespace quorin_data::store {

std::string hex_encode(const std::string& raw) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  out.reserve(raw.size() * 2);
  for (unsigned char c : raw) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

std::string sha256_hex(const void* data, std::size_t size) {
  unsigned char md[SHA256_DIGEST_LENGTH];
  SHA256(static_cast<const unsigned char*>(data), size, md);
  return hex_encode(std::string(reinterpret_cast<char*>(md), sizeof md));
}

std::string hmac_sha256(const std::string& key, const std::string& data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(data.data()), data.size(), md, &len);
  return std::string(reinterpret_cast<char*>(md), len);
}

static bool unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.' || c == '~';
}

std::string uri_encode(std::string_view s, bool keep_slash) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size() * 3 / 2 + 8);
  for (unsigned char c : s) {
    if (unreserved(c) || (keep_slash && c == '/')) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(digits[c >> 4]);
      out.push_back(digits[c & 15]);
    }
  }
  return out;
}

static int hexval(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string uri_decode(std::string_view s, bool plus_is_space) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '%' && i + 2 < s.size()) {
      int h = hexval(s[i + 1]), l = hexval(s[i + 2]);
      if (h >= 0 && l >= 0) {
        out.push_back(static_cast<char>(h * 16 + l));
        i += 2;
        continue;
      }
    }
    if (c == '+' && plus_is_space) {
      out.push_back(' ');
      continue;
    }
    out.push_back(c);
  }
  return out;
}

std::string canonical_query_string(const std::vector<std::pair<std::string, std::string>>& q) {
  std::vector<std::pair<std::string, std::string>> enc;
  enc.reserve(q.size());
  for (const auto& [k, v] : q) enc.emplace_back(uri_encode(k, false), uri_encode(v, false));
  std::sort(enc.begin(), enc.end());
  std::string out;
  for (const auto& [k, v] : enc) {
    if (!out.empty()) out.push_back('&');
    out += k;
    out.push_back('=');
    out += v;
  }
  return out;
}

static std::string trim_spaces(const std::string& v) {
  // Trim and collapse sequential spaces, as SigV4 requires.
  std::string out;
  bool space = false;
  for (char c : v) {
    if (c == ' ' || c == '\t') {
      space = true;
      continue;
    }
    if (space && !out.empty()) out.push_back(' ');
    space = false;
    out.push_back(c);
  }
  return out;
}

std::string sigv4_authorization(const SigningInput& in, const Credentials& creds,
                                std::string* canonical_request_out) {
  std::vector<std::pair<std::string, std::string>> hs;
  for (const auto& [k, v] : in.headers) {
    std::string name = k;
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    hs.emplace_back(std::move(name), trim_spaces(v));
  }
  std::sort(hs.begin(), hs.end());
  std::string canonical_headers, signed_headers;
  for (const auto& [k, v] : hs) {
    canonical_headers += k + ":" + v + "\n";
    if (!signed_headers.empty()) signed_headers.push_back(';');
    signed_headers += k;
  }
  std::string creq = in.method + "\n" + in.canonical_uri + "\n" + canonical_query_string(in.query) +
                     "\n" + canonical_headers + "\n" + signed_headers + "\n" + in.payload_hash;
  if (canonical_request_out) *canonical_request_out = creq;
  std::string date = in.amz_date.substr(0, 8);
  std::string scope = date + "/" + in.region + "/" + in.service + "/aws4_request";
  std::string sts = "AWS4-HMAC-SHA256\n" + in.amz_date + "\n" + scope + "\n" +
                    sha256_hex(creq.data(), creq.size());
  std::string k = hmac_sha256("AWS4" + creds.secret_access_key, date);
  k = hmac_sha256(k, in.region);
  k = hmac_sha256(k, in.service);
  k = hmac_sha256(k, "aws4_request");
  std::string sig = hex_encode(hmac_sha256(k, sts));
  return "AWS4-HMAC-SHA256 Credential=" + creds.access_key_id + "/" + scope +
         ", SignedHeaders=" + signed_headers + ", Signature=" + sig;
}

}  // namespace quorin_data::store
