// kelvora-storage: one signed GET, PUT or HEAD of an object through the storage client, for
// makers checking and filling a bucket. Prints the outcome on one line; a GET streams the body to
// a file on success and a broken download can be resumed from where it stopped; a PUT streams a
// file from disk.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include "storage_client/aos_http_io.h"
#include "storage_client/aos_status.h"
#include "storage_client/oss_object_download.h"
#include "storage_client/oss_object_head.h"
#include "storage_client/oss_object_upload.h"
#include "tools/kelvora-storage/terminal_text.h"
#include "updater/builtin_config.h"
#include "updater/package_resume.h"

namespace {

constexpr char kUsage[] =
    "usage: kelvora-storage get --endpoint HOST --bucket NAME --key OBJECT\n"
    "                           [--id ID --secret SECRET] [--output FILE [--continue]]\n"
    "  get         one signed GET of OBJECT in bucket NAME at HOST (optionally http:// or\n"
    "              https://); the built-in key pair is used unless --id and --secret are given;\n"
    "              prints code=N error=E message=M request-id=R length=L (L: body bytes received;\n"
    "              server text with control characters escaped); exit status 0 only for 2xx\n"
    "  --output    stream a 2xx body into FILE as it arrives; until it is complete, FILE.etag\n"
    "              beside it keeps the object's ETag when it is a strong one\n"
    "  --continue  resume a partial FILE that has its FILE.etag from where it stopped, if the\n"
    "              object is unchanged (Range with If-Range): only a 206 of that ETag from\n"
    "              FILE's end whose total is the final size is appended; otherwise start over\n"
    "usage: kelvora-storage put --endpoint HOST --bucket NAME --key OBJECT --input FILE\n"
    "                           [--id ID --secret SECRET]\n"
    "  put         one signed PUT of FILE as OBJECT, streamed from disk with its Content-MD5;\n"
    "              a 5xx or a cut connection is tried again up to 3 times; prints code=N\n"
    "              error=E message=M request-id=R length=L (L: bytes sent) etag=T attempts=A\n"
    "usage: kelvora-storage head --endpoint HOST --bucket NAME --key OBJECT [--id ID --secret S]\n"
    "  head        one signed HEAD; prints the line of get with L the object's size, and etag=T\n"
    "  exit status 0 only for 2xx, 1 for any other answer or failure, 2 for a usage error\n"
    "  progress goes to standard error when it is a terminal\n"
    "  --help, --version\n";

struct Arguments {
  std::string command, endpoint, bucket, key, id, secret, output, input;
  bool haveId = false, haveSecret = false, resume = false;
};

int usageError(const char* why) {
  std::fprintf(stderr, "kelvora-storage: %s\n", why);
  std::fputs(kUsage, stderr);
  return 2;
}

// A field of the result line: "-" for none or empty, server text made safe for a terminal.
std::string field(const char* text) {
  if (text == nullptr || *text == '\0') return "-";
  return terminalSafe(text);
}

// The kept ETag of a partial file: only a strong one vouches for its bytes.
std::string readEtag(const std::string& path) {
  std::ifstream in(path);
  std::string etag;
  std::getline(in, etag);
  return package_resume::isStrongEtag(etag) ? etag : "";
}

// The body's destination: FILE opened at the first piece, once the answer shows whether it
// continues the partial file or replaces it, by the rules Update.exe resumes by.
struct BodyFile {
  std::string path;
  std::optional<package_resume::KeptPart> kept;  // the partial file asked to continue
  const oss_download_outcome* outcome = nullptr;
  int fd = -1;
  bool failed = false;
  bool startOver = false;  // the answer does not continue the partial file
  int64_t have = 0;        // bytes of the partial file the body follows
  int64_t written = 0;
  bool showProgress = false;
  std::chrono::steady_clock::time_point lastShown;

  package_resume::ResumeAnswer answer() const {
    return package_resume::judgeResumeAnswer(*kept, outcome->status, outcome->etag,
                                             outcome->range_first, outcome->object_size);
  }

  bool open() {
    const bool continues = kept && answer() == package_resume::ResumeAnswer::kContinues;
    if (outcome->status == 206 && !continues) {
      startOver = kept.has_value();
      return false;
    }
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (continues ? O_APPEND : O_TRUNC),
                0644);
    if (fd < 0) return false;
    have = continues ? int64_t(kept->size) : 0;
    // Without a strong ETag there is nothing to resume against.
    const std::string etagPath = path + ".etag";
    if (!package_resume::isStrongEtag(outcome->etag))
      return std::remove(etagPath.c_str()) == 0 || errno == ENOENT;
    std::ofstream etag(etagPath, std::ios::trunc);
    etag << outcome->etag << '\n';
    return static_cast<bool>(etag.flush());
  }

  // After a 2xx: the file holds all of the object, as far as the answer declares its size.
  bool whole() const { return outcome->object_size < 0 || have + written == outcome->object_size; }

  void progress(bool last) {
    auto now = std::chrono::steady_clock::now();
    if (!showProgress || (!last && now - lastShown < std::chrono::milliseconds(250))) return;
    lastShown = now;
    long long total = outcome->object_size;
    std::fprintf(stderr, total >= 0 ? "\r%lld of %lld bytes" : "\r%lld bytes",
                 static_cast<long long>(have + written), total);
    if (last) std::fputc('\n', stderr);
  }
};

int takePiece(void* user, const uint8_t* data, size_t len) {
  auto* file = static_cast<BodyFile*>(user);
  if (file->fd < 0 && !file->open()) {
    file->failed = !file->startOver;
    return 1;
  }
  if (oss_write_to_fd(&file->fd, data, len) != 0) {
    file->failed = true;
    return 1;
  }
  file->written += static_cast<int64_t>(len);
  file->progress(false);
  return 0;
}

int dropPiece(void*, const uint8_t*, size_t) {
  return 0;
}

void printOutcome(const oss_download_outcome& o) {
  const bool ok = o.status / 100 == 2;
  long long length = ok || o.status < 0 ? o.body_received : o.content_length;
  std::printf("code=%d error=%s message=%s request-id=%s length=%lld\n", o.status,
              field(o.status < 0 ? "HttpIoError" : o.error_code).c_str(),
              field(o.error_message).c_str(), field(o.request_id).c_str(), length);
  std::fflush(stdout);
}

const char* keyId(const Arguments& a) {
  return a.haveId ? a.id.c_str() : builtin_config::builtinConfig().accessKeyId;
}
const char* keySecret(const Arguments& a) {
  return a.haveSecret ? a.secret.c_str() : builtin_config::builtinConfig().accessKeySecret;
}

int get(const Arguments& a) {
  oss_download_target target{a.endpoint.c_str(), keyId(a), keySecret(a), a.bucket.c_str(),
                             a.key.c_str(),      -1,       nullptr,      nullptr};
  oss_download_outcome outcome{};
  BodyFile file;
  file.path = a.output;
  file.outcome = &outcome;
  file.showProgress = !a.output.empty() && isatty(STDERR_FILENO) == 1;
  std::string etag;
  struct stat st {};
  if (a.resume && stat(a.output.c_str(), &st) == 0 && st.st_size > 0 &&
      !(etag = readEtag(a.output + ".etag")).empty()) {
    file.kept = package_resume::KeptPart{uint64_t(st.st_size), etag};
    target.range_start = st.st_size;
    target.if_range = etag.c_str();
  }
  oss_body_sink sink = a.output.empty() ? dropPiece : takePiece;
  oss_download_object(&target, sink, &file, &outcome);
  bool keptIsWhole = false;
  if (file.kept) {
    using package_resume::ResumeAnswer;
    const ResumeAnswer answer = file.answer();
    keptIsWhole = answer == ResumeAnswer::kKeptIsWhole;
    // Another object, another offset, or a total that is not the file's: the whole object.
    if (file.startOver || answer == ResumeAnswer::kStartOver ||
        (answer == ResumeAnswer::kContinues && outcome.status == 206 && !file.whole())) {
      if (file.fd >= 0) ::close(file.fd);
      file = BodyFile{file.path, std::nullopt,      &outcome, -1, false, false, 0,
                      0,         file.showProgress, {}};
      target.range_start = -1;
      target.if_range = nullptr;
      oss_download_object(&target, sink, &file, &outcome);
    }
  }
  int rc = outcome.status / 100 == 2 || keptIsWhole ? 0 : 1;
  if (rc == 0 && !keptIsWhole && !a.output.empty() && file.fd < 0 && !file.open())
    file.failed = true;
  if (file.fd >= 0 && ::close(file.fd) != 0) file.failed = true;
  if (rc == 0 && file.failed == false && !a.output.empty()) {
    file.progress(true);
    std::remove((a.output + ".etag").c_str());
  }
  printOutcome(outcome);
  if (file.failed) {
    std::fprintf(stderr, "kelvora-storage: cannot write %s\n", a.output.c_str());
    rc = 1;
  }
  return rc;
}

// Upload progress on a terminal, at most four times a second.
struct UploadProgress {
  std::chrono::steady_clock::time_point lastShown;
  bool shown = false;
};

void showUpload(void* user, int64_t sent, int64_t total) {
  auto* p = static_cast<UploadProgress*>(user);
  auto now = std::chrono::steady_clock::now();
  if (sent < total && p->shown && now - p->lastShown < std::chrono::milliseconds(250)) return;
  p->shown = true;
  p->lastShown = now;
  std::fprintf(stderr, "\r%lld of %lld bytes sent", static_cast<long long>(sent),
               static_cast<long long>(total));
}

int put(const Arguments& a) {
  oss_object_target target{a.endpoint.c_str(), keyId(a), keySecret(a), a.bucket.c_str(),
                           a.key.c_str()};
  UploadProgress progress;
  const bool terminal = isatty(STDERR_FILENO) == 1;
  oss_object_outcome o{};
  oss_put_object_from_file(&target, a.input.c_str(), terminal ? showUpload : nullptr, &progress,
                           &o);
  if (progress.shown) std::fputc('\n', stderr);
  std::printf("code=%d error=%s message=%s request-id=%s length=%lld etag=%s attempts=%d\n",
              o.status, field(o.status < 0 ? "HttpIoError" : o.error_code).c_str(),
              field(o.error_message).c_str(), field(o.request_id).c_str(),
              static_cast<long long>(o.body_sent), field(o.etag).c_str(), o.attempts);
  std::fflush(stdout);
  return o.status / 100 == 2 ? 0 : 1;
}

int head(const Arguments& a) {
  oss_object_target target{a.endpoint.c_str(), keyId(a), keySecret(a), a.bucket.c_str(),
                           a.key.c_str()};
  oss_object_outcome o{};
  oss_head_object(&target, &o);
  std::printf("code=%d error=%s message=%s request-id=%s length=%lld etag=%s\n", o.status,
              field(o.status < 0 ? "HttpIoError" : o.error_code).c_str(),
              field(o.error_message).c_str(), field(o.request_id).c_str(),
              static_cast<long long>(o.content_length), field(o.etag).c_str());
  std::fflush(stdout);
  return o.status / 100 == 2 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && !std::strcmp(argv[1], "--help")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && !std::strcmp(argv[1], "--version")) {
    std::printf("kelvora-storage %s\n", KELVORA_VERSION_TEXT);
    return 0;
  }
  Arguments a;
  if (argc >= 2) a.command = argv[1];
  if (a.command != "get" && a.command != "put" && a.command != "head")
    return usageError("expected the get, put or head command");
  for (int i = 2; i < argc; ++i) {
    const char* opt = argv[i];
    if (!std::strcmp(opt, "--continue")) {
      a.resume = true;
      continue;
    }
    if (i + 1 >= argc) return usageError("an option lacks its value");
    const char* value = argv[++i];
    if (!std::strcmp(opt, "--endpoint")) {
      a.endpoint = value;
    } else if (!std::strcmp(opt, "--bucket")) {
      a.bucket = value;
    } else if (!std::strcmp(opt, "--key")) {
      a.key = value;
    } else if (!std::strcmp(opt, "--id")) {
      a.id = value;
      a.haveId = true;
    } else if (!std::strcmp(opt, "--secret")) {
      a.secret = value;
      a.haveSecret = true;
    } else if (!std::strcmp(opt, "--output") && a.command == "get") {
      a.output = value;
    } else if (!std::strcmp(opt, "--input") && a.command == "put") {
      a.input = value;
    } else {
      return usageError("unknown option");
    }
  }
  if (a.endpoint.empty() || a.bucket.empty() || a.key.empty()) {
    return usageError("--endpoint, --bucket and --key are required");
  }
  if (a.haveId != a.haveSecret) return usageError("--id and --secret go together");
  if (a.resume && a.output.empty()) return usageError("--continue needs --output");
  if (a.command == "put" && a.input.empty()) return usageError("put needs --input");
  if (aos_http_io_initialize() != 0) {
    std::fputs("kelvora-storage: the storage client could not be initialised\n", stderr);
    return 1;
  }
  int rc = a.command == "get" ? get(a) : a.command == "put" ? put(a) : head(a);
  aos_http_io_shutdown();
  return rc;
}
