#include "aos_util.h"

#include <apr_sha1.h>
#include <apr_strings.h>
#include <apr_time.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "aos_chunk.h"
#include "aos_log.h"
#include "aos_status.h"

namespace {

constexpr const char* kFile = "aos_util";
constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr char kHex[] = "0123456789ABCDEF";
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kSha1Block = 64;
constexpr size_t kQueryInitialRoom = 256;
constexpr size_t kQueryItemBuffer = 6272;

bool keeps_unencoded(unsigned char c) {
  return std::isalnum(c) || std::strchr("-_.!~*'()/", c) != nullptr;
}

}  // namespace

int aos_format_gmt_time(char out[AOS_MAX_GMT_TIME_LEN], int64_t time_us) {
  apr_time_exp_t tm;
  apr_status_t rv = apr_time_exp_gmt(&tm, static_cast<apr_time_t>(time_us));
  if (rv != APR_SUCCESS) {
    char reason[128];
    apr_strerror(rv, reason, sizeof reason);
    aos_log_at(AOS_LOG_ERROR, kFile, "aos_get_gmt_str_time",
               "apr_time_exp_gmt fialure, code:%d %s.", rv, reason);
    return aos_err_internal;
  }
  // Out-of-range fields must not index past the name tables.
  const char* day = tm.tm_wday >= 0 && tm.tm_wday < 7 ? kDays[tm.tm_wday] : "???";
  const char* month = tm.tm_mon >= 0 && tm.tm_mon < 12 ? kMonths[tm.tm_mon] : "???";
  int len = std::snprintf(out, AOS_MAX_GMT_TIME_LEN, "%s, %.2d %s %.4d %.2d:%.2d:%.2d GMT", day,
                          tm.tm_mday, month, tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  if (len < 0 || len > AOS_MAX_GMT_TIME_LEN - 1) {
    aos_log_at(AOS_LOG_ERROR, kFile, "aos_get_gmt_str_time", "aos_convert_to_GMT failure, code:%d.",
               aos_err_internal);
    return aos_err_internal;
  }
  return 0;
}

int aos_get_gmt_str_time(char out[AOS_MAX_GMT_TIME_LEN]) {
  return aos_format_gmt_time(out, apr_time_now());
}

int aos_percent_encode(char* out, const char* in, int limit) {
  int count = 0;
  for (const char* p = in; *p != '\0'; ++p) {
    if (++count > limit) {
      *out = '\0';
      return aos_err_invalid_argument;
    }
    auto c = static_cast<unsigned char>(*p);
    if (keeps_unencoded(c)) {
      *out++ = static_cast<char>(c);
    } else if (c == ' ') {
      *out++ = '%';
      *out++ = '2';
      *out++ = '0';
    } else {
      *out++ = '%';
      *out++ = kHex[c >> 4];
      *out++ = kHex[c & 0x0F];
    }
  }
  *out = '\0';
  return 0;
}

int aos_query_params_to_string(apr_pool_t* pool, const apr_table_t* params, aos_span* out) {
  if (params == nullptr || apr_is_empty_table(params)) return 0;
  aos_chunk* buf = aos_chunk_create(pool, kQueryInitialRoom);
  out->len = 0;
  out->data = nullptr;

  char encoded[3 * AOS_MAX_QUERY_ARG_LEN + 1];
  char item[kQueryItemBuffer];
  const apr_array_header_t* entries = apr_table_elts(params);
  const auto* elts = reinterpret_cast<const apr_table_entry_t*>(entries->elts);
  for (int i = 0; i < entries->nelts; ++i) {
    const char* key = elts[i].key != nullptr ? elts[i].key : "";
    const char* val = elts[i].val;
    char sep = i == 0 ? '?' : '&';
    if (aos_percent_encode(encoded, key, AOS_MAX_QUERY_ARG_LEN) != 0) {
      aos_log_at(AOS_LOG_ERROR, kFile, "aos_query_params_to_string",
                 "query params args too big, key:%s.", key);
      return aos_err_invalid_argument;
    }
    int len = std::snprintf(item, sizeof item, "%c%s", sep, encoded);
    if (val != nullptr && *val != '\0') {
      if (aos_percent_encode(encoded, val, AOS_MAX_QUERY_ARG_LEN) != 0) {
        aos_log_at(AOS_LOG_ERROR, kFile, "aos_query_params_to_string",
                   "query params args too big, value:%s.", val);
        return aos_err_invalid_argument;
      }
      len += std::snprintf(item + len, sizeof item - static_cast<size_t>(len), "=%s", encoded);
      if (len >= AOS_MAX_QUERY_ARG_LEN) {
        aos_log_at(AOS_LOG_ERROR, kFile, "aos_query_params_to_string",
                   "query params args too big, %s.", item);
        return aos_err_invalid_argument;
      }
    }
    if (len > 0) aos_chunk_append(pool, buf, item, static_cast<size_t>(len));
  }
  out->data = buf->pos;
  out->len = static_cast<int32_t>(aos_chunk_data_len(buf));
  return 0;
}

int aos_encode_base64(const unsigned char* in, int len, char* out) {
  int n = 0;
  int i = 0;
  for (; i + 2 < len; i += 3) {
    unsigned v = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
    out[n++] = kBase64[(v >> 18) & 0x3F];
    out[n++] = kBase64[(v >> 12) & 0x3F];
    out[n++] = kBase64[(v >> 6) & 0x3F];
    out[n++] = kBase64[v & 0x3F];
  }
  if (i < len) {
    unsigned v = in[i] << 16;
    if (i + 1 < len) v |= in[i + 1] << 8;
    out[n++] = kBase64[(v >> 18) & 0x3F];
    out[n++] = kBase64[(v >> 12) & 0x3F];
    out[n++] = i + 1 < len ? kBase64[(v >> 6) & 0x3F] : '=';
    out[n++] = '=';
  }
  return n;
}

void aos_compute_hmac_sha1(unsigned char digest[AOS_SHA1_DIGEST_LEN], const unsigned char* key,
                           int key_len, const unsigned char* data, int data_len) {
  unsigned char block[kSha1Block] = {};
  apr_sha1_ctx_t ctx;
  if (key_len > kSha1Block) {
    // Keys longer than the block are replaced by their hash (RFC 2104).
    apr_sha1_init(&ctx);
    apr_sha1_update_binary(&ctx, key, static_cast<unsigned int>(key_len));
    apr_sha1_final(block, &ctx);
  } else if (key_len > 0) {
    std::memcpy(block, key, static_cast<size_t>(key_len));
  }

  unsigned char pad[kSha1Block];
  for (int i = 0; i < kSha1Block; ++i) pad[i] = block[i] ^ 0x36;
  unsigned char inner[AOS_SHA1_DIGEST_LEN];
  apr_sha1_init(&ctx);
  apr_sha1_update_binary(&ctx, pad, kSha1Block);
  if (data_len > 0) apr_sha1_update_binary(&ctx, data, static_cast<unsigned int>(data_len));
  apr_sha1_final(inner, &ctx);

  for (int i = 0; i < kSha1Block; ++i) pad[i] = block[i] ^ 0x5C;
  apr_sha1_init(&ctx);
  apr_sha1_update_binary(&ctx, pad, kSha1Block);
  apr_sha1_update_binary(&ctx, inner, AOS_SHA1_DIGEST_LEN);
  apr_sha1_final(digest, &ctx);
}
