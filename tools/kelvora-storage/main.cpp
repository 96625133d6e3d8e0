// kelvora-storage: one signed GET of an object through the storage client, for makers checking a
// bucket. Prints the outcome on one line and writes the body to a file on success.
#include <apr_pools.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "storage_client/aos_chunk.h"
#include "storage_client/aos_http_io.h"
#include "storage_client/aos_status.h"
#include "storage_client/oss_util.h"
#include "updater/builtin_config.h"

namespace {

constexpr char kUsage[] =
    "usage: kelvora-storage get --endpoint HOST --bucket NAME --key OBJECT\n"
    "                           [--id ID --secret SECRET] [--output FILE]\n"
    "  get     one signed GET of OBJECT in bucket NAME at HOST (optionally http:// or https://);\n"
    "          the built-in key pair is used unless --id and --secret are given; prints\n"
    "          code=N error=E message=M request-id=R length=L and, on 2xx, writes the body to\n"
    "          FILE; exit status 0 only for 2xx\n"
    "  --help, --version\n";

struct Arguments {
  std::string endpoint, bucket, key, id, secret, output;
  bool haveId = false, haveSecret = false;
};

int usageError(const char* why) {
  std::fprintf(stderr, "kelvora-storage: %s\n", why);
  std::fputs(kUsage, stderr);
  return 2;
}

// A field of the result line: "-" for none or empty, line breaks flattened to spaces.
std::string field(const char* text) {
  if (text == nullptr || *text == '\0') return "-";
  std::string out(text);
  for (char& c : out) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return out;
}

bool writeBody(const std::string& path, aos_list* body) {
  std::string temp = path + ".part";
  FILE* f = std::fopen(temp.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = true;
  for (aos_list* n = body->next; n != body && ok; n = n->next) {
    auto* chunk = reinterpret_cast<aos_chunk*>(n);
    size_t len = aos_chunk_data_len(chunk);
    ok = std::fwrite(chunk->pos, 1, len, f) == len;
  }
  ok = std::fclose(f) == 0 && ok;
  if (ok) ok = std::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) std::remove(temp.c_str());
  return ok;
}

int get(const Arguments& a) {
  if (aos_http_io_initialize() != 0) {
    std::fputs("kelvora-storage: the storage client could not be initialised\n", stderr);
    return 1;
  }
  apr_pool_t* pool = nullptr;
  if (apr_pool_create_ex(&pool, nullptr, nullptr, nullptr) != APR_SUCCESS) {
    aos_http_io_shutdown();
    return 1;
  }
  oss_request_options* options = oss_request_options_create(pool);
  const BuiltinConfig& builtin = builtinConfig();
  options->config->endpoint = aos_span_of(a.endpoint.c_str());
  options->config->access_key_id = aos_span_of(a.haveId ? a.id.c_str() : builtin.accessKeyId);
  options->config->access_key_secret =
      aos_span_of(a.haveSecret ? a.secret.c_str() : builtin.accessKeySecret);
  options->ctl = aos_http_controller_create(options->pool, 0);

  aos_span bucket = aos_span_of(a.bucket.c_str());
  aos_span object = aos_span_of(a.key.c_str());
  aos_list body;
  aos_list_init(&body);
  apr_table_t* headers = nullptr;
  aos_status* s =
      oss_fetch_object_to_memory(options, &bucket, &object, nullptr, nullptr, &body, &headers);
  bool ok = aos_status_is_ok(s);
  std::printf("code=%d error=%s message=%s request-id=%s length=%lld\n", s->code,
              field(s->error_code).c_str(), field(s->error_msg).c_str(), field(s->req_id).c_str(),
              static_cast<long long>(aos_body_length(&body)));
  std::fflush(stdout);
  int rc = ok ? 0 : 1;
  if (ok && !a.output.empty() && !writeBody(a.output, &body)) {
    std::fprintf(stderr, "kelvora-storage: cannot write %s\n", a.output.c_str());
    rc = 1;
  }
  apr_pool_destroy(pool);
  aos_http_io_shutdown();
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && !std::strcmp(argv[1], "--help")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && !std::strcmp(argv[1], "--version")) {
    std::puts("kelvora-storage 1.0");
    return 0;
  }
  if (argc < 2 || std::strcmp(argv[1], "get") != 0) return usageError("expected the get command");
  Arguments a;
  for (int i = 2; i < argc; ++i) {
    const char* opt = argv[i];
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
    } else if (!std::strcmp(opt, "--output")) {
      a.output = value;
    } else {
      return usageError("unknown option");
    }
  }
  if (a.endpoint.empty() || a.bucket.empty() || a.key.empty()) {
    return usageError("--endpoint, --bucket and --key are required");
  }
  if (a.haveId != a.haveSecret) return usageError("--id and --secret go together");
  return get(a);
}
