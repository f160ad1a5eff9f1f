// The SDK default credential chain and the region/endpoint settings.
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "store/http_util.hpp"
#include "store/s3_client.hpp"
#include "quorin_data/core/text.hpp"

namespace quorin_data::store {
namespace {

using Clock = std::chrono::system_clock;

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

using text::lower;
using text::trim;

std::string home_dir() {
  std::string h = env("HOME");
  if (!h.empty()) return h;
  if (passwd* pw = getpwuid(getuid())) return pw->pw_dir ? pw->pw_dir : "";
  return "";
}

std::string expand_home(const std::string& p) {
  if (p.size() >= 1 && p[0] == '~' && (p.size() == 1 || p[1] == '/')) return home_dir() + p.substr(1);
  return p;
}

using Ini = std::map<std::string, std::map<std::string, std::string>>;

// INI files as the SDKs read them: [section], key = value, # and ; comments,
// indented lines under a key with an empty value are a nested block (skipped).
Ini read_ini(const std::string& path) {
  Ini ini;
  std::ifstream in(path);
  if (!in) return ini;
  std::string line, section;
  bool have_section = false, nested = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    bool indented = !line.empty() && (line[0] == ' ' || line[0] == '\t');
    std::string t = trim(line);
    if (t.empty() || t[0] == '#' || t[0] == ';') continue;
    if (t[0] == '[') {
      auto close = t.find(']');
      if (close == std::string::npos) continue;
      section = trim(t.substr(1, close - 1));
      have_section = true;
      nested = false;
      ini[section];
      continue;
    }
    if (!have_section) continue;
    if (indented && nested) continue;
    auto eq = t.find('=');
    if (eq == std::string::npos) continue;
    std::string key = lower(trim(t.substr(0, eq)));
    std::string value = trim(t.substr(eq + 1));
    nested = value.empty();
    if (!nested) ini[section][key] = value;
  }
  return ini;
}

std::string credentials_file() {
  std::string p = env("AWS_SHARED_CREDENTIALS_FILE");
  return expand_home(p.empty() ? "~/.aws/credentials" : p);
}

std::string config_file() {
  std::string p = env("AWS_CONFIG_FILE");
  return expand_home(p.empty() ? "~/.aws/config" : p);
}

const std::map<std::string, std::string>* config_section(const Ini& ini, const std::string& profile) {
  auto it = ini.find("profile " + profile);
  if (it != ini.end()) return &it->second;
  if (profile == "default") {
    it = ini.find("default");
    if (it != ini.end()) return &it->second;
  }
  return nullptr;
}

std::optional<Credentials> creds_from_section(const std::map<std::string, std::string>& sec,
                                              const std::string& where) {
  auto get = [&](const char* k) {
    auto it = sec.find(k);
    return it == sec.end() ? std::string() : it->second;
  };
  Credentials c;
  c.access_key_id = get("aws_access_key_id");
  c.secret_access_key = get("aws_secret_access_key");
  c.session_token = get("aws_session_token");
  if (c.access_key_id.empty() && c.secret_access_key.empty()) return std::nullopt;
  if (c.access_key_id.empty() || c.secret_access_key.empty())
    throw TransportError("Partial credentials found in " + where + ", missing: " +
                         (c.access_key_id.empty() ? "aws_access_key_id" : "aws_secret_access_key"));
  c.source = "shared-files";
  return c;
}

std::optional<Clock::time_point> parse_iso8601(const std::string& s) {
  int Y, M, D, h, m, sec;
  if (std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &Y, &M, &D, &h, &m, &sec) != 6)
    return std::nullopt;
  std::tm tm{};
  tm.tm_year = Y - 1900;
  tm.tm_mon = M - 1;
  tm.tm_mday = D;
  tm.tm_hour = h;
  tm.tm_min = m;
  tm.tm_sec = sec;
  time_t t = timegm(&tm);
  if (t == static_cast<time_t>(-1)) return std::nullopt;
  return Clock::from_time_t(t);
}

// Credentials from a metadata JSON answer (container and IMDS share the shape).
Credentials creds_from_json(const std::string& body, const std::string& where) {
  std::vector<std::pair<std::string, std::string>> kv;
  if (!detail::parse_flat_json(body, kv))
    throw TransportError(where + ": the answer is not a JSON object");
  Credentials c;
  std::string expiration, code;
  for (auto& [k, v] : kv) {
    if (k == "AccessKeyId") c.access_key_id = v;
    else if (k == "SecretAccessKey") c.secret_access_key = v;
    else if (k == "Token") c.session_token = v;
    else if (k == "Expiration") expiration = v;
    else if (k == "Code") code = v;
  }
  if (!code.empty() && code != "Success")
    throw TransportError(where + ": the service answered code " + code);
  if (c.empty()) throw TransportError(where + ": the answer lacks AccessKeyId/SecretAccessKey");
  if (!expiration.empty()) {
    c.expiration = parse_iso8601(expiration);
    if (!c.expiration) throw TransportError(where + ": unreadable Expiration");
  }
  return c;
}

bool is_loopback_or_ecs_http(const std::string& url) {
  // http:// is allowed only for loopback hosts and the ECS/EKS agent addresses.
  std::string rest = url.substr(7);
  std::string host = rest.substr(0, rest.find_first_of("/?#"));
  if (auto at = host.rfind('@'); at != std::string::npos) host = host.substr(at + 1);
  if (!host.empty() && host[0] == '[') {
    host = host.substr(1, host.find(']') - 1);
  } else if (auto colon = host.rfind(':'); colon != std::string::npos) {
    host = host.substr(0, colon);
  }
  host = lower(host);
  return host == "localhost" || host.rfind("127.", 0) == 0 || host == "::1" ||
         host == "169.254.170.2" || host == "169.254.170.23" || host == "fd00:ec2::23";
}

}  // namespace

Credentials StaticCredentialsProvider::credentials() {
  if (creds_.empty())
    throw TransportError("Unable to locate credentials: the client was given none");
  return creds_;
}

std::optional<Credentials> credentials_from_environment() {
  Credentials c;
  c.access_key_id = env("AWS_ACCESS_KEY_ID");
  c.secret_access_key = env("AWS_SECRET_ACCESS_KEY");
  c.session_token = env("AWS_SESSION_TOKEN");
  if (c.access_key_id.empty() && c.secret_access_key.empty()) return std::nullopt;
  if (c.access_key_id.empty() || c.secret_access_key.empty())
    throw TransportError(std::string("Partial credentials found in the environment, missing: ") +
                         (c.access_key_id.empty() ? "AWS_ACCESS_KEY_ID" : "AWS_SECRET_ACCESS_KEY"));
  c.source = "environment";
  return c;
}

std::string active_profile() {
  std::string p = env("AWS_PROFILE");
  return p.empty() ? "default" : p;
}

std::optional<Credentials> credentials_from_shared_files(const std::string& profile) {
  std::string cf = credentials_file();
  Ini creds = read_ini(cf);
  auto it = creds.find(profile);
  if (it != creds.end())
    if (auto c = creds_from_section(it->second, cf + " [" + profile + "]")) return c;
  std::string kf = config_file();
  Ini config = read_ini(kf);
  if (const auto* sec = config_section(config, profile))
    if (auto c = creds_from_section(*sec, kf + " [profile " + profile + "]")) return c;
  return std::nullopt;
}

std::string profile_region(const std::string& profile) {
  Ini config = read_ini(config_file());
  if (const auto* sec = config_section(config, profile)) {
    auto it = sec->find("region");
    if (it != sec->end() && !it->second.empty()) return it->second;
  }
  Ini creds = read_ini(credentials_file());
  auto it = creds.find(profile);
  if (it != creds.end()) {
    auto r = it->second.find("region");
    if (r != it->second.end()) return r->second;
  }
  return "";
}

std::string region_from_environment() {
  std::string r = env("AWS_REGION");
  if (r.empty()) r = env("AWS_DEFAULT_REGION");
  if (r.empty()) r = profile_region(active_profile());
  if (r.empty()) r = "us-east-1";
  return r;
}

std::string endpoint_from_environment() {
  std::string e = env("AWS_ENDPOINT_URL_S3");
  if (e.empty()) e = env("AWS_ENDPOINT_URL");
  return e;
}

std::optional<Credentials> credentials_from_container(const CredentialsChainOptions& opts) {
  std::string rel = env("AWS_CONTAINER_CREDENTIALS_RELATIVE_URI");
  std::string full = env("AWS_CONTAINER_CREDENTIALS_FULL_URI");
  if (rel.empty() && full.empty()) return std::nullopt;
  const std::string where = "Error retrieving credentials from the container provider";
  std::string url;
  if (!rel.empty()) {
    url = opts.container_base + (rel[0] == '/' ? "" : "/") + rel;
  } else {
    url = full;
    std::string l = lower(full);
    if (l.rfind("https://", 0) == 0) {
    } else if (l.rfind("http://", 0) == 0) {
      if (!is_loopback_or_ecs_http(full))
        throw TransportError(where +
                             ": AWS_CONTAINER_CREDENTIALS_FULL_URI over http must name a loopback "
                             "host or the container agent");
    } else {
      throw TransportError(where + ": AWS_CONTAINER_CREDENTIALS_FULL_URI is not an http(s) URL");
    }
  }
  std::vector<std::string> headers = {"Accept: application/json"};
  std::string token;
  std::string token_file = env("AWS_CONTAINER_AUTHORIZATION_TOKEN_FILE");
  if (!token_file.empty()) {
    std::ifstream in(token_file, std::ios::binary);
    if (!in) throw TransportError(where + ": cannot read AWS_CONTAINER_AUTHORIZATION_TOKEN_FILE");
    std::stringstream ss;
    ss << in.rdbuf();
    token = trim(ss.str());
  } else {
    token = env("AWS_CONTAINER_AUTHORIZATION_TOKEN");
  }
  if (!token.empty()) {
    if (token.find_first_of("\r\n") != std::string::npos)
      throw TransportError(where + ": the authorization token holds a line break");
    headers.push_back("Authorization: " + token);
  }
  std::string last;
  for (int attempt = 1; attempt <= std::max(1, opts.metadata_attempts); ++attempt) {
    try {
      detail::SimpleResponse r = detail::http_simple("GET", url, headers, opts.metadata_timeout_ms, where);
      if (r.status == 200) {
        Credentials c = creds_from_json(r.body, where);
        c.source = "container";
        return c;
      }
      last = where + ": HTTP " + std::to_string(r.status);
      if (r.status < 500) break;
    } catch (const TransportError& e) {
      last = e.what();
    }
  }
  throw TransportError(last);
}

std::optional<Credentials> credentials_from_imds(const CredentialsChainOptions& opts) {
  if (lower(env("AWS_EC2_METADATA_DISABLED")) == "true") return std::nullopt;
  std::string base = env("AWS_EC2_METADATA_SERVICE_ENDPOINT");
  if (base.empty()) base = opts.imds_endpoint;
  while (!base.empty() && base.back() == '/') base.pop_back();
  const std::string what = "instance metadata service";
  try {
    std::vector<std::string> headers;
    detail::SimpleResponse t =
        detail::http_simple("PUT", base + "/latest/api/token",
                            {"X-aws-ec2-metadata-token-ttl-seconds: 21600"}, opts.metadata_timeout_ms, what);
    if (t.status == 200 && !t.body.empty() && t.body.find_first_of("\r\n") == std::string::npos) {
      headers.push_back("X-aws-ec2-metadata-token: " + t.body);
    } else if (t.status != 403 && t.status != 404 && t.status != 405) {
      return std::nullopt;
    }
    detail::SimpleResponse role = detail::http_simple(
        "GET", base + "/latest/meta-data/iam/security-credentials/", headers, opts.metadata_timeout_ms, what);
    if (role.status != 200) return std::nullopt;
    std::string name = trim(role.body.substr(0, role.body.find('\n')));
    if (name.empty()) return std::nullopt;
    detail::SimpleResponse cr = detail::http_simple(
        "GET", base + "/latest/meta-data/iam/security-credentials/" + uri_encode(name, false),
        headers, opts.metadata_timeout_ms, what);
    if (cr.status != 200) return std::nullopt;
    Credentials c = creds_from_json(cr.body, "Error retrieving credentials from the " + what);
    c.source = "imds";
    return c;
  } catch (const TransportError&) {
    return std::nullopt;  // not on an instance, like the SDKs
  }
}

DefaultCredentialsChain::DefaultCredentialsChain(CredentialsChainOptions opts) : opts_(std::move(opts)) {}

Credentials DefaultCredentialsChain::resolve() {
  if (auto c = credentials_from_environment()) return *c;
  if (auto c = credentials_from_shared_files(active_profile())) return *c;
  if (auto c = credentials_from_container(opts_)) return *c;
  if (auto c = credentials_from_imds(opts_)) return *c;
  throw TransportError(
      "Unable to locate credentials: none in the environment (AWS_ACCESS_KEY_ID, "
      "AWS_SECRET_ACCESS_KEY), the shared files (profile \"" + active_profile() +
      "\"), the container or the instance metadata");
}

Credentials DefaultCredentialsChain::credentials() {
  std::lock_guard<std::mutex> lock(mu_);
  auto now = Clock::now();
  if (cached_ && (!cached_->expiration || now + opts_.refresh_before < *cached_->expiration))
    return *cached_;
  try {
    cached_ = resolve();
  } catch (const TransportError&) {
    // A failed refresh keeps credentials that have not expired yet.
    if (cached_ && cached_->expiration && now < *cached_->expiration) return *cached_;
    cached_.reset();
    throw;
  }
  return *cached_;
}

}  // namespace quorin_data::store
