#include "tools/kelvora-devserver/http_server.h"

#include <fcntl.h>
#include <httplib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>

#include "tools/kelvora-devserver/address_page.h"
#include "tools/kelvora-devserver/error_body.h"
#include "tools/kelvora-devserver/object_upload.h"
#include "tools/kelvora-devserver/request_signature.h"

namespace devserver {
namespace {

constexpr size_t kFullSpeedChunk = 4 << 20;
constexpr size_t kMaxThrottleChunk = 64 << 10;

// A strong validator that changes whenever the file is replaced or rewritten.
std::string etagOf(const struct stat& st) {
  char etag[96];
  std::snprintf(etag, sizeof etag, "\"%llx-%llx-%llx%09ld\"",
                static_cast<unsigned long long>(st.st_ino),
                static_cast<unsigned long long>(st.st_size),
                static_cast<unsigned long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec);
  return etag;
}

// A whole object file mapped read-only; the mapping lives as long as the transfer that uses it.
class MappedFile {
 public:
  static std::shared_ptr<MappedFile> open(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(fd);
      return nullptr;
    }
    auto file = std::shared_ptr<MappedFile>(new MappedFile());
    file->size_ = static_cast<size_t>(st.st_size);
    file->mtime_ = st.st_mtime;
    file->etag_ = etagOf(st);
    if (file->size_ > 0) {
      void* p = mmap(nullptr, file->size_, PROT_READ, MAP_PRIVATE, fd, 0);
      if (p == MAP_FAILED) {
        close(fd);
        return nullptr;
      }
      madvise(p, file->size_, MADV_SEQUENTIAL);
      file->data_ = static_cast<const char*>(p);
    }
    close(fd);
    return file;
  }
  ~MappedFile() {
    if (data_) munmap(const_cast<char*>(data_), size_);
  }
  const char* data() const { return data_; }
  size_t size() const { return size_; }
  time_t mtime() const { return mtime_; }
  const std::string& etag() const { return etag_; }

 private:
  MappedFile() = default;
  const char* data_ = nullptr;
  size_t size_ = 0;
  time_t mtime_ = 0;
  std::string etag_;
};

// The one range "bytes=A-", "bytes=A-B" or "bytes=-N" of a Range header, as a first byte and a
// length within an object of `size` bytes. Anything else (several ranges, another unit, no
// digits) is no range: the whole object is served, as a storage service does.
enum class RangeAsk { kWhole, kPart, kPastEnd };
RangeAsk askedRange(const std::string& header, size_t size, size_t* first, size_t* length) {
  std::string_view v = header;
  if (!v.starts_with("bytes=")) return RangeAsk::kWhole;
  v.remove_prefix(6);
  size_t dash = v.find('-');
  if (dash == std::string_view::npos || v.find_first_not_of("0123456789-") != v.npos ||
      v.find('-', dash + 1) != v.npos)
    return RangeAsk::kWhole;
  auto number = [](std::string_view d, unsigned long long* out) {
    if (d.empty() || d.size() > 18) return false;
    *out = std::stoull(std::string(d));
    return true;
  };
  unsigned long long a = 0, b = 0;
  bool haveA = number(v.substr(0, dash), &a), haveB = number(v.substr(dash + 1), &b);
  if (!haveA && !haveB) return RangeAsk::kWhole;
  if (size == 0) return RangeAsk::kPastEnd;
  if (!haveA) {  // the last b bytes
    if (b == 0) return RangeAsk::kPastEnd;
    *first = b >= size ? 0 : size - b;
  } else {
    if (haveB && b < a) return RangeAsk::kWhole;
    if (a >= size) return RangeAsk::kPastEnd;
    *first = a;
  }
  size_t last = haveA && haveB && b < size ? b : size - 1;
  *length = last - *first + 1;
  return RangeAsk::kPart;
}

std::string lowerCase(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// Bucket and object names become one directory and one file path below the root: no empty,
// "." or ".." component may appear, so no request reaches outside it; nor one naming a PUT's
// temporary file, so no request sees an object before it is whole.
bool safeComponents(const std::string& name) {
  if (name.empty() || name.find('\0') != std::string::npos) return false;
  size_t start = 0;
  while (true) {
    size_t slash = name.find('/', start);
    std::string part = name.substr(start, slash == std::string::npos ? slash : slash - start);
    if (part.empty() || part == "." || part == ".." || part.starts_with(kUploadPrefix))
      return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

struct Target {
  bool virtualHosted = false;
  std::string host;  // the Host header as sent
  std::string bucket;
  std::string object;
};

Target targetOf(const httplib::Request& req) {
  Target t;
  t.host = req.get_header_value("Host");
  std::string name = lowerCase(t.host.substr(0, t.host.find(':')));
  constexpr std::string_view kSuffix = ".localhost";
  if (name.size() > kSuffix.size() && name.ends_with(kSuffix)) {
    t.virtualHosted = true;
    t.bucket = t.host.substr(0, name.size() - kSuffix.size());
    t.object = req.path.size() > 1 ? req.path.substr(1) : "";
    return t;
  }
  size_t slash = req.path.find('/', 1);
  t.bucket = req.path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
  if (slash != std::string::npos) t.object = req.path.substr(slash + 1);
  return t;
}

ReceivedRequest receivedRequest(const httplib::Request& req, const Target& t) {
  ReceivedRequest r;
  r.method = req.method;
  for (const auto& header : req.headers) r.headers.push_back(header);
  for (const auto& param : req.params) r.params.push_back(param);
  r.resource = "/" + t.bucket + "/" + t.object;
  return r;
}

using Extra = std::vector<std::pair<std::string, std::string>>;
using Fail = std::function<void(int status, std::string_view code, std::string_view message,
                                const Extra& extra)>;

// Answers a request whose signature does not hold; false when it holds.
bool refuseSignature(const AuthResult& auth, const Fail& fail) {
  switch (auth.outcome) {
    case AuthOutcome::kOk:
      return false;
    case AuthOutcome::kMissing:
      fail(403, "AccessDenied", "The request carries no Authorization header.", {});
      return true;
    case AuthOutcome::kMalformed:
      fail(403, "AccessDenied", "The Authorization header is not of the form \"OSS id:signature\".",
           {});
      return true;
    case AuthOutcome::kNoDate:
      fail(403, "AccessDenied",
           "The request needs a valid Date or x-oss-date header (an HTTP date in GMT).", {});
      return true;
    case AuthOutcome::kUnknownId:
      fail(403, "InvalidAccessKeyId",
           "The access key ID you provided does not exist in our records.",
           {{"OSSAccessKeyId", auth.accessKeyId}});
      return true;
    case AuthOutcome::kSkewed:
      fail(403, "RequestTimeTooSkewed",
           "The difference between the request time and the current time is too large.",
           {{"RequestTime", auth.dateText},
            {"ServerTime", formatHttpDate(std::time(nullptr))},
            {"MaxAllowedSkewMilliseconds", std::to_string(kMaxSkewSeconds * 1000)}});
      return true;
    case AuthOutcome::kMismatch:
      fail(403, "SignatureDoesNotMatch",
           "The request signature we calculated does not match the signature you "
           "provided. Check your key and signing method.",
           {{"OSSAccessKeyId", auth.accessKeyId}, {"StringToSign", auth.stringToSign}});
      return true;
  }
  return true;
}

}  // namespace

HttpServer::HttpServer(const Options& options, StopSignal& stop)
    : options_(options), stop_(stop), server_(std::make_unique<httplib::Server>()) {}

HttpServer::~HttpServer() {
  stop();
  if (requestLog_ != nullptr) std::fclose(requestLog_);
}

void HttpServer::putObject(const httplib::Request& req, httplib::Response& res,
                           const httplib::ContentReader& reader) {
  const std::string requestId = newRequestId();
  res.set_header("x-oss-request-id", requestId);
  const Target t = targetOf(req);
  const std::optional<uint64_t> length =
      parseContentLength(req.get_header_value("Content-Length"), options_.maxPutBytes);
  // A refused body is still read (and dropped), so the connection stays in step; one without a
  // usable length, or longer than allowed, is not read at all and the connection closes.
  bool bodyTaken = !length.has_value();
  auto fail = [&](int status, std::string_view code, std::string_view message,
                  const Extra& extra = {}) {
    if (!bodyTaken) reader([](const char*, size_t) { return true; });
    bodyTaken = true;
    res.status = status;
    res.set_content(errorBody(code, message, requestId, t.host, extra), "application/xml");
  };
  if (!length) {
    res.set_header("Connection", "close");
    if (!req.has_header("Content-Length"))
      return fail(411, "MissingContentLength", "A PUT needs a Content-Length header.");
    return fail(413, "EntityTooLarge", "Your proposed upload exceeds the maximum allowed size.",
                {{"MaxSizeAllowed", std::to_string(options_.maxPutBytes)}});
  }
  if (options_.putAccessKeyId.empty())
    return fail(403, "AccessDenied", "This store accepts no writes.");
  AuthResult auth = checkSignature(receivedRequest(req, t), putKeys(), std::time(nullptr));
  if (auth.outcome == AuthOutcome::kUnknownId && auth.accessKeyId == options_.accessKeyId)
    return fail(403, "AccessDenied", "The access key may read but not write.");
  if (refuseSignature(auth, fail)) return;
  if (!safeComponents(t.bucket) || t.bucket.find('/') != std::string::npos)
    return fail(400, "InvalidBucketName", "The specified bucket is not valid.",
                {{"BucketName", t.bucket}});
  if (!safeComponents(t.object))
    return fail(400, "InvalidObjectName", "The specified object name is not valid.",
                {{"Key", t.object}});
  const std::string bucketDir = options_.root + "/" + t.bucket;
  struct stat st {};
  if (stat(bucketDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return fail(404, "NoSuchBucket", "The specified bucket does not exist.",
                {{"BucketName", t.bucket}});
  std::optional<Md5> expected;
  if (req.has_header("Content-MD5") &&
      !(expected = parseContentMd5(req.get_header_value("Content-MD5"))))
    return fail(400, "InvalidDigest", "The Content-MD5 you specified is not valid.");

  ObjectUpload upload;
  std::string why;
  if (!upload.open(bucketDir, t.object, expected.has_value(), &why))
    return fail(500, "InternalError", why);
  uint64_t received = 0;
  bodyTaken = true;
  const bool read = reader([&](const char* data, size_t len) {
    received += len;
    return !stop_.stopped() && received <= *length && upload.write(data, len);
  });
  if (!read || received != *length)
    return fail(400, "IncompleteBody", "The body did not arrive whole, or could not be stored.");
  if (expected && *expected != upload.digest())
    return fail(400, "InvalidDigest",
                "The Content-MD5 you specified did not match what was received.");
  if (!upload.commit(&why)) return fail(500, "InternalError", why);
  const std::string path = bucketDir + "/" + t.object;
  if (stat(path.c_str(), &st) == 0) res.set_header("ETag", etagOf(st));
  res.status = 200;
}

void HttpServer::logRequest(const httplib::Request& req, const httplib::Response& res) {
  std::fprintf(stderr, "kelvora-devserver: %s %s Host=%s -> %d %s\n", req.method.c_str(),
               req.path.c_str(), req.get_header_value("Host").c_str(), res.status,
               res.get_header_value("x-oss-request-id").c_str());
  if (requestLog_ == nullptr) return;
  // Both addressing styles log the same way: the bucket, then the object.
  const Target t = targetOf(req);
  const std::string path = t.virtualHosted ? "/" + t.bucket + req.path : req.path;
  std::lock_guard<std::mutex> lock(requestLogMutex_);
  std::fprintf(requestLog_, "%s %s %d\n", req.method.c_str(), path.c_str(), res.status);
  std::fflush(requestLog_);
}

int HttpServer::bind() {
  auto& server = *server_;
  // Short idle keep-alives, so that a stop never waits long for an idle connection.
  server.set_keep_alive_timeout(2);
  server.set_tcp_nodelay(true);

  auto handler = [this](const httplib::Request& req, httplib::Response& res) {
    // Ranges are served below, never by httplib's own range code, which would cut error bodies
    // too and knows neither If-Range nor the switch that ignores ranges. The request is a
    // mutable object of httplib's, handed over const; it is read again only after we return.
    const_cast<httplib::Request&>(req).ranges.clear();
    const std::string requestId = newRequestId();
    res.set_header("x-oss-request-id", requestId);
    if (options_.firstByteDelayMs > 0 &&
        !stop_.sleepFor(std::chrono::milliseconds(options_.firstByteDelayMs))) {
      res.status = 503;
      return;
    }
    Target t = targetOf(req);
    auto fail = [&](int status, std::string_view code, std::string_view message,
                    const std::vector<std::pair<std::string, std::string>>& extra = {}) {
      res.status = status;
      res.set_content(errorBody(code, message, requestId, t.host, extra), "application/xml");
    };

    if (!t.virtualHosted && req.path == "/ip" && (req.method == "GET" || req.method == "HEAD")) {
      AddressPage page = addressPage(options_.address, options_.addressCharset);
      res.set_content(page.body, page.contentType.c_str());
      return;
    }

    // The write pair reads too: a publisher checks what it wrote with the key it wrote with.
    const ReceivedRequest received = receivedRequest(req, t);
    AuthResult auth = checkSignature(received, readKeys(), std::time(nullptr));
    if (auth.outcome == AuthOutcome::kUnknownId && !options_.putAccessKeyId.empty() &&
        auth.accessKeyId == options_.putAccessKeyId)
      auth = checkSignature(received, putKeys(), std::time(nullptr));
    if (refuseSignature(auth, fail)) return;

    if (req.method != "GET" && req.method != "HEAD")
      return fail(405, "MethodNotAllowed",
                  "The specified method is not allowed against this resource.",
                  {{"Method", req.method}});
    if (!safeComponents(t.bucket) || t.bucket.find('/') != std::string::npos)
      return fail(400, "InvalidBucketName", "The specified bucket is not valid.",
                  {{"BucketName", t.bucket}});
    if (t.object.empty())
      return fail(501, "NotImplemented", "Only object GET and HEAD are served here.");
    if (!safeComponents(t.object))
      return fail(400, "InvalidObjectName", "The specified object name is not valid.",
                  {{"Key", t.object}});

    const std::string bucketDir = options_.root + "/" + t.bucket;
    struct stat st {};
    if (stat(bucketDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
      return fail(404, "NoSuchBucket", "The specified bucket does not exist.",
                  {{"BucketName", t.bucket}});
    auto file = MappedFile::open(bucketDir + "/" + t.object);
    if (!file && signatures_ != nullptr) {
      if (auto signature = signatures_->lookup(bucketDir + "/" + t.object)) {
        res.set_content(*signature, "text/plain");
        return;
      }
    }
    if (!file)
      return fail(404, "NoSuchKey", "The specified key does not exist.", {{"Key", t.object}});

    res.set_header("Last-Modified", formatHttpDate(file->mtime()));
    res.set_header("ETag", file->etag());
    res.set_header("Accept-Ranges", "bytes");
    // A conditional GET of an unchanged object is an empty 304, as a store answers it.
    const std::string ifNoneMatch = req.get_header_value("If-None-Match");
    if (!ifNoneMatch.empty() && (ifNoneMatch == file->etag() || ifNoneMatch == "*")) {
      res.status = 304;
      return;
    }
    size_t first = 0, length = file->size();
    const std::string ifRange = req.get_header_value("If-Range");
    // If-Range holds only with a strong ETag that names this very object.
    const bool rangeHolds = ifRange.empty() || ifRange == file->etag();
    if (req.has_header("Range") && rangeHolds && !options_.ignoreRange) {
      switch (askedRange(req.get_header_value("Range"), file->size(), &first, &length)) {
        case RangeAsk::kWhole:
          break;
        case RangeAsk::kPastEnd:
          res.set_header("Content-Range", "bytes */" + std::to_string(file->size()));
          return fail(416, "InvalidRange", "The requested range is not satisfiable.",
                      {{"RangeRequested", req.get_header_value("Range")},
                       {"ActualObjectSize", std::to_string(file->size())}});
        case RangeAsk::kPart:
          res.status = 206;
          res.set_header("Content-Range", "bytes " + std::to_string(first) + "-" +
                                              std::to_string(first + length - 1) + "/" +
                                              std::to_string(file->size()));
          break;
      }
    }
    if (file->size() == 0) {
      res.set_content("", "application/octet-stream");
      return;
    }
    // The body stops this many bytes before the object's end; the provider then refuses and
    // the connection closes, as a transfer cut in the middle would.
    const size_t limit =
        file->size() > options_.cutShortBytes ? file->size() - options_.cutShortBytes : 0;
    const uint64_t rate = options_.throttleBytesPerSecond;
    struct Pace {
      bool started = false;
      std::chrono::steady_clock::time_point start;
      uint64_t sent = 0;
    };
    auto pace = std::make_shared<Pace>();
    res.set_content_provider(
        length, "application/octet-stream",
        [this, file, first, limit, rate, pace](size_t at, size_t length, httplib::DataSink& sink) {
          const size_t offset = first + at;
          if (offset >= limit || stop_.stopped()) return false;
          size_t n = std::min({length, limit - offset, kFullSpeedChunk});
          if (rate > 0) {
            n = std::min<size_t>(n, std::clamp<uint64_t>(rate / 20, 1, kMaxThrottleChunk));
            auto now = std::chrono::steady_clock::now();
            if (!pace->started) {
              pace->started = true;
              pace->start = now;
            }
            // The bytes sent so far may not leave before sent / rate seconds have passed.
            auto due = pace->start + std::chrono::microseconds(pace->sent * 1000000 / rate);
            if (due > now && !stop_.sleepUntil(due)) return false;
          }
          if (!sink.write(file->data() + offset, n)) return false;
          pace->sent += n;
          return true;
        });
  };

  const std::string any = R"([\s\S]*)";
  server.Get(any, handler);
  server.Put(any, [this](const httplib::Request& req, httplib::Response& res,
                         const httplib::ContentReader& reader) { putObject(req, res, reader); });
  // Bodies of other methods are read and dropped, never kept: the answer is a refusal anyway.
  auto dropBody = [handler](const httplib::Request& req, httplib::Response& res,
                            const httplib::ContentReader& reader) {
    reader([](const char*, size_t) { return true; });
    handler(req, res);
  };
  server.Post(any, dropBody);
  server.Delete(any, dropBody);
  server.Patch(any, dropBody);
  // ... and what httplib would read into memory itself (a GET with a body) stays small.
  server.set_payload_max_length(options_.maxPutBytes);
  server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    const bool bodied = req.method == "PUT" || req.method == "POST" || req.method == "DELETE" ||
                        req.method == "PATCH";
    const bool bodyless =
        (!req.has_header("Content-Length") || req.get_header_value("Content-Length") == "0") &&
        !req.has_header("Transfer-Encoding");
    if (bodied || bodyless) return httplib::Server::HandlerResponse::Unhandled;
    res.status = 400;
    res.set_header("Connection", "close");
    return httplib::Server::HandlerResponse::Handled;
  });
  server.Options(any, handler);
  // Answers httplib makes itself (a request it cannot read) carry a request ID and an error
  // body too.
  server.set_error_handler(
      httplib::Server::HandlerWithResponse([](const httplib::Request& req, httplib::Response& res) {
        if (!res.has_header("x-oss-request-id")) res.set_header("x-oss-request-id", newRequestId());
        if (!res.body.empty() || res.content_length_ > 0 || req.method == "HEAD")
          return httplib::Server::HandlerResponse::Unhandled;
        res.set_content(
            errorBody(res.status == 413 ? "EntityTooLarge" : "InvalidRequest",
                      "The request could not be read as HTTP/1.1.",
                      res.get_header_value("x-oss-request-id"), req.get_header_value("Host")),
            "application/xml");
        return httplib::Server::HandlerResponse::Handled;
      }));
  server.set_logger(
      [this](const httplib::Request& req, const httplib::Response& res) { logRequest(req, res); });
  if (!options_.requestLog.empty() &&
      (requestLog_ = std::fopen(options_.requestLog.c_str(), "ae")) == nullptr) {
    std::fprintf(stderr, "kelvora-devserver: cannot open the request log %s\n",
                 options_.requestLog.c_str());
    return -1;
  }

  if (options_.httpPort == 0) return server.bind_to_any_port("127.0.0.1");
  return server.bind_to_port("127.0.0.1", options_.httpPort) ? options_.httpPort : -1;
}

bool HttpServer::start() {
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // A stop before the listener runs would be lost, so start returns only once it runs.
  for (int i = 0; i < 500 && !server_->is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return server_->is_running();
}

void HttpServer::stop() {
  if (server_) server_->stop();
  if (thread_.joinable()) thread_.join();
}

}  // namespace devserver
