#include "oss_object_upload.h"

#include <apr_strings.h>
#include <apr_tables.h>
#include <apr_time.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "aos_transport.h"
#include "aos_util.h"
#include "oss_auth.h"
#include "oss_object_call.h"
#include "oss_util.h"

namespace {

constexpr int kRetries = 3;
constexpr apr_interval_time_t kFirstBackoff = 500 * 1000;  // microseconds, doubled each time
constexpr size_t kDigestBuffer = 1 << 20;

// The request body as the transport reads it: the file from its start, `total` bytes and no
// more. The transport knows only the aos_body_file, which comes first, so the rest is reached
// from it.
struct FileBody {
  aos_body_file base;  // no APR file: the descriptor below is read directly
  int fd;
  int64_t total;
  int64_t sent;
  bool short_read;  // the file ended before `total` (it changed since its MD5 was taken)
  char md5[32];     // base64 of the MD5 of the `total` bytes
  oss_upload_progress progress;
  void* user;
};
static_assert(std::is_standard_layout_v<FileBody>);

int read_file_body(aos_http_request* req, char* buffer, int len) {
  auto* body = reinterpret_cast<FileBody*>(req->file_buf);
  int64_t left = body->total - body->sent;
  if (left <= 0 || len <= 0) return 0;
  size_t want = static_cast<size_t>(left < len ? left : len);
  ssize_t n;
  do {
    n = ::read(body->fd, buffer, want);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    body->short_read = n == 0;
    return -1;
  }
  body->sent += n;
  if (body->progress != nullptr) body->progress(body->user, body->sent, body->total);
  return static_cast<int>(n);
}

// The file's length and the base64 of its MD5, from one pass from its start; false with the
// reason when the file cannot be read.
bool digest_file(int fd, int64_t* length, char* md5_base64, const char** why) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  auto* buffer = static_cast<unsigned char*>(std::malloc(kDigestBuffer));
  bool ok = ctx != nullptr && buffer != nullptr && EVP_DigestInit_ex(ctx, EVP_md5(), nullptr) == 1;
  *why = ok ? nullptr : "cannot compute the MD5";
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  *length = 0;
  while (ok) {
    ssize_t n = ::read(fd, buffer, kDigestBuffer);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) break;
    if (n < 0) {
      *why = std::strerror(errno);
      ok = false;
    } else {
      *length += n;
      ok = EVP_DigestUpdate(ctx, buffer, static_cast<size_t>(n)) == 1;
    }
  }
  unsigned char md5[EVP_MAX_MD_SIZE];
  unsigned int md5_len = 0;
  if (ok && (EVP_DigestFinal_ex(ctx, md5, &md5_len) != 1 || md5_len != 16)) ok = false;
  if (ok) aos_encode_base64(md5, 16, md5_base64);
  if (!ok && *why == nullptr) *why = "cannot compute the MD5";
  std::free(buffer);
  EVP_MD_CTX_free(ctx);
  return ok;
}

// Worth another attempt: the server failed, or the connection broke before a whole answer.
bool worth_retrying(int status) {
  return status >= 500 || status == aos_err_transfer || status == aos_err_internal;
}

void fail(oss_object_outcome* outcome, int status, const char* why) {
  outcome->status = status;
  apr_cpystrn(outcome->error_message, why, sizeof outcome->error_message);
}

// One attempt, in a pool of its own so that a retry does not grow the call's memory.
void put_once(const oss_object_target* target, FileBody* body, oss_object_outcome* outcome) {
  apr_pool_t* pool = nullptr;
  oss_request_options* options = nullptr;
  if (!oss_object_call_begin(target, &pool, &options))
    return fail(outcome, aos_err_out_of_memory, "out of memory");
  apr_table_t* headers = apr_table_make(pool, 6);
  apr_table_set(headers, "Content-MD5", body->md5);
  apr_table_set(headers, "Content-Type", "application/octet-stream");
  aos_span bucket = aos_span_of(target->bucket);
  aos_span object = aos_span_of(target->object);
  aos_http_request* req = nullptr;
  aos_http_response* resp = nullptr;
  oss_prepare_object_request(options, &bucket, &object, headers, apr_table_make(pool, 1), &req,
                             &resp);
  req->method = HTTP_PUT;
  req->body_len = body->total;
  req->file_buf = &body->base;
  req->read_body = read_file_body;
  body->sent = 0;
  body->short_read = false;
  if (::lseek(body->fd, 0, SEEK_SET) != 0) {
    fail(outcome, aos_err_read_body, std::strerror(errno));
  } else if (int r = oss_sign_request(req, options->config); r != 0) {
    fail(outcome, r, "the request could not be signed");
  } else {
    const aos_status* s = oss_perform_request(options->ctl, req, resp);
    oss_object_outcome_fill(s, resp, outcome);
    outcome->content_length = -1;
    std::memcpy(outcome->content_md5, body->md5, sizeof body->md5);
    if (body->short_read) fail(outcome, aos_err_read_body, "the file changed while it was sent");
  }
  outcome->body_sent = body->sent;
  apr_pool_destroy(pool);
}

}  // namespace

void oss_put_object_from_file(const oss_object_target* target, const char* path,
                              oss_upload_progress progress, void* user,
                              oss_object_outcome* outcome) {
  oss_object_outcome_clear(outcome);
  if (!oss_object_target_complete(target) || path == nullptr)
    return fail(outcome, aos_err_invalid_argument, "missing argument");
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(outcome, aos_err_read_body, std::strerror(errno));
  struct stat st {};
  int64_t length = 0;
  const char* why = nullptr;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    fail(outcome, aos_err_read_body, "not a regular file");
  } else if (!digest_file(fd, &length, outcome->content_md5, &why)) {
    fail(outcome, aos_err_read_body, why);
  } else {
    FileBody body{{nullptr, 0}, fd, length, 0, false, {}, progress, user};
    std::memcpy(body.md5, outcome->content_md5, sizeof body.md5);
    apr_interval_time_t backoff = kFirstBackoff;
    for (int attempt = 0; attempt <= kRetries; ++attempt) {
      if (attempt > 0) {
        apr_sleep(backoff);
        backoff *= 2;
      }
      ++outcome->attempts;
      put_once(target, &body, outcome);
      if (!worth_retrying(outcome->status) || body.short_read) break;
    }
  }
  ::close(fd);
}
