// Parsers of the S3 XML response bodies, namespace-agnostic (s3rver's
// namespace differs from AWS's): elements are matched by local name.
#include <pugixml.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "store/s3_client.hpp"

namespace quorin_data::store {
namespace {

std::string_view local_name(const pugi::xml_node& n) {
  std::string_view name = n.name();
  auto colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

pugi::xml_node child(const pugi::xml_node& parent, std::string_view name) {
  for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling())
    if (c.type() == pugi::node_element && local_name(c) == name) return c;
  return {};
}

// The text content of an element (its pcdata/cdata children joined).
std::string text_of(const pugi::xml_node& n) {
  std::string out;
  for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling())
    if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) out += c.value();
  return out;
}

[[noreturn]] void fail(const std::string& source, const std::string& place,
                       const std::string& what) {
  throw FormatError("S3 XML", source, place, what);
}

pugi::xml_node load_root(pugi::xml_document& doc, std::string_view xml, const std::string& source,
                         std::string_view expected) {
  // parse_default minus escapes? No: entity escapes must be decoded (keys with
  // & < > are escaped). Keep whitespace-only pcdata off (default).
  pugi::xml_parse_result r =
      doc.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8);
  if (!r)
    fail(source, "offset " + std::to_string(r.offset),
         std::string("malformed XML (") + r.description() + ")");
  pugi::xml_node root = doc.document_element();
  if (!root) fail(source, "offset 0", "no root element");
  if (local_name(root) != expected)
    fail(source, "root element",
         "expected <" + std::string(expected) + ">, found <" + std::string(root.name()) + ">");
  return root;
}

}  // namespace

ListPage parse_list_objects_v2(std::string_view xml, const std::string& source) {
  pugi::xml_document doc;
  pugi::xml_node root = load_root(doc, xml, source, "ListBucketResult");
  ListPage page;
  bool url_encoded = false;
  if (pugi::xml_node enc = child(root, "EncodingType")) {
    std::string v = text_of(enc);
    if (v == "url")
      url_encoded = true;
    else
      fail(source, "<EncodingType>", "unknown encoding type \"" + v + "\"");
  }
  std::size_t index = 0;
  for (pugi::xml_node c = root.first_child(); c; c = c.next_sibling()) {
    if (c.type() != pugi::node_element) continue;
    std::string_view n = local_name(c);
    if (n == "Contents") {
      page.has_contents = true;
      pugi::xml_node key = child(c, "Key");
      if (!key)
        fail(source, "<Contents> #" + std::to_string(index + 1), "entry without a <Key>");
      std::string k = text_of(key);
      page.keys.push_back(url_encoded ? uri_decode(k, true) : std::move(k));
      ++index;
    } else if (n == "IsTruncated") {
      std::string v = text_of(c);
      if (v == "true")
        page.is_truncated = true;
      else if (v == "false")
        page.is_truncated = false;
      else
        fail(source, "<IsTruncated>", "expected true or false, found \"" + v + "\"");
    } else if (n == "NextContinuationToken") {
      page.next_continuation_token = text_of(c);
    } else if (n == "KeyCount") {
      std::string v = text_of(c);
      char* end = nullptr;
      errno = 0;
      long kc = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || errno != 0 || kc < 0)
        fail(source, "<KeyCount>", "expected a count, found \"" + v + "\"");
      page.key_count = kc;
    }
  }
  return page;
}

std::vector<DeleteFailure> parse_delete_result(std::string_view xml, const std::string& source) {
  pugi::xml_document doc;
  pugi::xml_node root = load_root(doc, xml, source, "DeleteResult");
  std::vector<DeleteFailure> out;
  std::size_t index = 0;
  for (pugi::xml_node c = root.first_child(); c; c = c.next_sibling()) {
    if (c.type() != pugi::node_element || local_name(c) != "Error") continue;
    ++index;
    pugi::xml_node key = child(c, "Key");
    if (!key) fail(source, "<Error> #" + std::to_string(index), "failure without a <Key>");
    DeleteFailure f;
    f.key = text_of(key);
    if (pugi::xml_node code = child(c, "Code")) f.code = text_of(code);
    if (pugi::xml_node msg = child(c, "Message")) f.message = text_of(msg);
    out.push_back(std::move(f));
  }
  return out;
}

std::string parse_initiate_multipart(std::string_view xml, const std::string& source) {
  pugi::xml_document doc;
  pugi::xml_node root = load_root(doc, xml, source, "InitiateMultipartUploadResult");
  pugi::xml_node id = child(root, "UploadId");
  if (!id) fail(source, "<InitiateMultipartUploadResult>", "no <UploadId>");
  std::string v = text_of(id);
  if (v.empty()) fail(source, "<UploadId>", "empty upload id");
  return v;
}

std::optional<ErrorInfo> parse_complete_multipart(std::string_view xml, const std::string& source) {
  pugi::xml_document doc;
  pugi::xml_parse_result r =
      doc.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8);
  if (r) {
    pugi::xml_node root = doc.document_element();
    if (root && local_name(root) == "Error") return parse_error_body(xml);
  }
  load_root(doc, xml, source, "CompleteMultipartUploadResult");
  return std::nullopt;
}

ErrorInfo parse_error_body(std::string_view xml) {
  ErrorInfo info;
  if (xml.empty()) return info;
  pugi::xml_document doc;
  if (!doc.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8))
    return info;
  pugi::xml_node root = doc.document_element();
  if (!root) return info;
  pugi::xml_node err = root;
  if (local_name(root) != "Error") {
    // <ErrorResponse><Error>...</Error><RequestId/></ErrorResponse> (query-protocol style)
    err = child(root, "Error");
    if (!err) return info;
    if (pugi::xml_node rid = child(root, "RequestId")) info.request_id = text_of(rid);
  }
  if (pugi::xml_node c = child(err, "Code")) info.code = text_of(c);
  if (pugi::xml_node m = child(err, "Message")) info.message = text_of(m);
  if (pugi::xml_node rid = child(err, "RequestId")) info.request_id = text_of(rid);
  return info;
}

std::optional<ContentRange> parse_content_range(std::string_view h) {
  auto number = [](std::string_view& s, std::uint64_t& v) {
    std::size_t i = 0;
    v = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
      const std::uint64_t d = static_cast<std::uint64_t>(s[i] - '0');
      if (v > (UINT64_MAX - d) / 10) return false;
      v = v * 10 + d;
    }
    s.remove_prefix(i);
    return i > 0;
  };
  while (!h.empty() && (h.front() == ' ' || h.front() == '\t')) h.remove_prefix(1);
  while (!h.empty() && (h.back() == ' ' || h.back() == '\t')) h.remove_suffix(1);
  if (h.size() < 6 || h.substr(0, 6) != "bytes ") return std::nullopt;
  h.remove_prefix(6);
  ContentRange cr;
  if (!number(h, cr.first) || h.empty() || h.front() != '-') return std::nullopt;
  h.remove_prefix(1);
  if (!number(h, cr.last) || h.empty() || h.front() != '/') return std::nullopt;
  h.remove_prefix(1);
  if (h == "*") {
    cr.total.reset();
  } else {
    std::uint64_t t;
    if (!number(h, t) || !h.empty()) return std::nullopt;
    cr.total = t;
  }
  if (cr.last < cr.first || (cr.total && cr.last >= *cr.total)) return std::nullopt;
  return cr;
}

}  // namespace quorin_data::store
