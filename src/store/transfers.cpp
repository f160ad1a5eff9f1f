// Transfers of whole objects: downloads to a file and managed (multipart) uploads.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "store/client_impl.hpp"
#include "store/parallel.hpp"

namespace quorin_data::store {

using detail::Attempt;
using detail::Body;
using detail::FileSink;
using detail::Request;
using detail::object_request;
using detail::xml_escape;

void S3Client::download_file(const std::string& bucket, const std::string& key,
                             const std::string& path) {
  namespace fs = std::filesystem;
  fs::path target(path);
  fs::path dir = target.parent_path();
  std::string tmpl = (dir.empty() ? fs::path(".") : dir).string() + "/." +
                     target.filename().string() + ".part-XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  int fd = ::mkstemp(name.data());
  if (fd < 0)
    throw TransportError("GetObject s3://" + bucket + "/" + key + ": cannot create a temporary file beside \"" +
                         path + "\": " + std::strerror(errno));
  const std::string tmp(name.data());
  try {
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    impl_->count(&RequestStats::get_object);
    FileSink sink(fd);
    Request r = object_request("GetObject", "GET", bucket, key);
    r.sink = &sink;
    impl_->send(r);
    if (::close(fd) != 0) {
      fd = -1;
      throw TransportError("GetObject s3://" + bucket + "/" + key + ": cannot write \"" + tmp +
                           "\": " + std::strerror(errno));
    }
    fd = -1;
    if (::rename(tmp.c_str(), path.c_str()) != 0)
      throw TransportError("GetObject s3://" + bucket + "/" + key + ": cannot rename the download to \"" +
                           path + "\": " + std::strerror(errno));
  } catch (...) {
    if (fd >= 0) ::close(fd);
    ::unlink(tmp.c_str());
    throw;
  }
}

namespace {

struct MultipartSource {
  const std::uint8_t* mem = nullptr;
  int fd = -1;
  Body range(std::uint64_t off, std::uint64_t len) const {
    Body b;
    b.size = len;
    if (mem) {
      b.mem = mem + off;
    } else {
      b.fd = fd;
      b.offset = off;
    }
    return b;
  }
};

}  // namespace

static void managed_upload(S3Client::Impl& impl, const std::string& bucket, const std::string& key,
                           const MultipartSource& src, std::uint64_t size) {
  const ClientConfig& cfg = impl.cfg;
  if (size <= cfg.multipart_threshold) {
    impl.count(&RequestStats::put_object);
    Body body = src.range(0, size);
    if (!body.mem && size == 0) body.mem = reinterpret_cast<const std::uint8_t*>("");
    Request r = object_request("PutObject", "PUT", bucket, key);
    r.body = &body;
    impl.send(r);
    return;
  }
  std::uint64_t part = std::max<std::uint64_t>(cfg.part_size, (size + 9999) / 10000);
  impl.count(&RequestStats::create_multipart_upload);
  Request c = object_request("CreateMultipartUpload", "POST", bucket, key);
  c.query = {{"uploads", ""}};
  Body empty;
  empty.mem = reinterpret_cast<const std::uint8_t*>("");
  c.body = &empty;
  Attempt ca = impl.send(c);
  const std::string upload_id =
      parse_initiate_multipart(ca.body, "CreateMultipartUpload response for s3://" + bucket + "/" + key);
  try {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
        "<CompleteMultipartUpload xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">";
    const std::uint64_t parts = (size + part - 1) / part;
    std::vector<std::string> etags(static_cast<std::size_t>(parts));
    detail::run_indexed(etags.size(), static_cast<std::size_t>(std::max(1, cfg.max_concurrency)),
                        [&](std::size_t i) {
      const std::uint64_t n = i + 1, off = i * part;
      impl.count(&RequestStats::upload_part);
      Body body = src.range(off, std::min(part, size - off));
      Request p = object_request("UploadPart", "PUT", bucket, key);
      p.query = {{"partNumber", std::to_string(n)}, {"uploadId", upload_id}};
      p.body = &body;
      Attempt pa = impl.send(p);
      auto it = pa.headers.find("etag");
      if (it == pa.headers.end() || it->second.empty())
        throw FormatError("S3 response", "UploadPart response for s3://" + bucket + "/" + key,
                          "part " + std::to_string(n), "no ETag header");
      etags[i] = it->second;
    });
    for (std::size_t i = 0; i < etags.size(); ++i)
      xml += "<Part><PartNumber>" + std::to_string(i + 1) + "</PartNumber><ETag>" + xml_escape(etags[i]) +
             "</ETag></Part>";
    xml += "</CompleteMultipartUpload>";
    impl.count(&RequestStats::complete_multipart_upload);
    Body body;
    body.mem = reinterpret_cast<const std::uint8_t*>(xml.data());
    body.size = xml.size();
    Request f = object_request("CompleteMultipartUpload", "POST", bucket, key);
    f.query = {{"uploadId", upload_id}};
    f.headers = {{"content-type", "application/xml"}};
    f.body = &body;
    f.error_in_200 = true;
    impl.send(f);
  } catch (...) {
    try {
      impl.count(&RequestStats::abort_multipart_upload);
      Request ab = object_request("AbortMultipartUpload", "DELETE", bucket, key);
      ab.query = {{"uploadId", upload_id}};
      impl.send(ab);
    } catch (...) {
      // The original failure is what the caller needs to see.
    }
    throw;
  }
}

void S3Client::put_object(const std::string& bucket, const std::string& key,
                          const std::uint8_t* data, std::size_t size) {
  MultipartSource src;
  src.mem = data ? data : reinterpret_cast<const std::uint8_t*>("");
  managed_upload(*impl_, bucket, key, src, size);
}

void S3Client::upload_file(const std::string& bucket, const std::string& key,
                           const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    throw TransportError("PutObject s3://" + bucket + "/" + key + ": cannot open \"" + path +
                         "\": " + std::strerror(errno));
  struct FdGuard {
    int fd;
    ~FdGuard() { ::close(fd); }
  } guard{fd};
  struct stat sb;
  if (::fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode))
    throw TransportError("PutObject s3://" + bucket + "/" + key + ": \"" + path +
                         "\" is not a regular file");
  MultipartSource src;
  src.fd = fd;
  managed_upload(*impl_, bucket, key, src, static_cast<std::uint64_t>(sb.st_size));
}

}  // namespace quorin_data::store
