#include "oss_auth.h"

#include <apr_strings.h>

#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "aos_log.h"
#include "aos_status.h"
#include "aos_util.h"

namespace {

constexpr const char* kFile = "oss_auth";
constexpr size_t kSignInitialRoom = 1024;
constexpr size_t kCanonResourceBuffer = 2048;

// Query parameters that take part in the signature; all others are left out.
constexpr const char* kSubResources[] = {"acl",
                                         "uploadId",
                                         "uploads",
                                         "partNumber",
                                         "response-content-type",
                                         "response-content-language",
                                         "response-expires",
                                         "response-cache-control",
                                         "response-content-disposition",
                                         "response-content-encoding",
                                         "append",
                                         "position",
                                         "lifecycle",
                                         "delete",
                                         "live",
                                         "status",
                                         "comp",
                                         "vod",
                                         "startTime",
                                         "endTime",
                                         "x-oss-process"};

const char* method_name(int32_t method) {
  switch (method) {
    case HTTP_GET:
      return "GET";
    case HTTP_HEAD:
      return "HEAD";
    case HTTP_PUT:
      return "PUT";
    case HTTP_POST:
      return "POST";
    case HTTP_DELETE:
      return "DELETE";
    default:
      return "UNKNOWN";
  }
}

void append(apr_pool_t* pool, aos_chunk* buf, const char* text) {
  if (text != nullptr) aos_chunk_append(pool, buf, text, std::strlen(text));
}

// Insertion sort in case-insensitive natural order, so x-oss-meta-2 precedes x-oss-meta-10.
void natural_sort(std::vector<const apr_table_entry_t*>& items) {
  size_t i = 0;
  size_t n = 0;
  while (i < items.size()) {
    if (i > 0 && apr_strnatcasecmp(items[i - 1]->key, items[i]->key) >= 0) {
      std::swap(items[i - 1], items[i]);
      --i;
    } else {
      i = ++n;
    }
  }
}

bool is_sub_resource(const char* name) {
  for (const char* known : kSubResources) {
    if (apr_strnatcmp(known, name) == 0) return true;
  }
  return false;
}

}  // namespace

int oss_get_canonicalized_headers(apr_pool_t* pool, apr_table_t* headers, aos_chunk* signbuf) {
  constexpr int kWorkSize = OSS_MAX_HEADER_LINE_LEN + 1;
  auto* work = static_cast<char*>(std::malloc(kWorkSize));
  if (work == nullptr) {
    aos_log_at(AOS_LOG_ERROR, kFile, "oss_get_canonicalized_headers", "malloc %d memory failed.",
               kWorkSize);
    return aos_err_memory_limit;
  }
  if (headers == nullptr || apr_is_empty_table(headers)) {
    std::free(work);
    return 0;
  }

  const apr_array_header_t* entries = apr_table_elts(headers);
  const auto* elts = reinterpret_cast<const apr_table_entry_t*>(entries->elts);
  std::vector<const apr_table_entry_t*> names;
  for (int i = 0; i < entries->nelts; ++i) {
    char* key = elts[i].key;
    if (key == nullptr || strncasecmp(key, "x-oss-", 6) != 0) continue;
    // Lowered in place so the header also goes out under the name that was signed.
    for (char* p = key; *p != '\0'; ++p)
      *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    names.push_back(&elts[i]);
  }
  natural_sort(names);

  for (const apr_table_entry_t* entry : names) {
    const char* value = apr_table_get(headers, entry->key);
    if (value == nullptr) value = "";
    while (*value == ' ' || *value == '\t') ++value;
    size_t vlen = std::strlen(value);
    while (vlen > 0 && (value[vlen - 1] == ' ' || value[vlen - 1] == '\t')) --vlen;
    int len = std::snprintf(work, kWorkSize, "%s:%.*s", entry->key, static_cast<int>(vlen), value);
    if (len < 0 || len > OSS_MAX_HEADER_LINE_LEN) {
      std::free(work);
      aos_log_at(AOS_LOG_ERROR, kFile, "oss_get_canonicalized_headers",
                 "user meta header too many, %d > %d.", len, OSS_MAX_HEADER_LINE_LEN);
      return aos_err_invalid_argument;
    }
    if (len > 0) aos_chunk_append(pool, signbuf, work, static_cast<size_t>(len));
    aos_chunk_append(pool, signbuf, "\n", 1);
  }
  std::free(work);
  return 0;
}

int oss_get_canonicalized_resource(apr_pool_t* pool, const apr_table_t* params,
                                   aos_chunk* signbuf) {
  if (params == nullptr || apr_is_empty_table(params)) return 0;
  const apr_array_header_t* entries = apr_table_elts(params);
  const auto* elts = reinterpret_cast<const apr_table_entry_t*>(entries->elts);
  std::vector<const apr_table_entry_t*> kept;
  for (int i = 0; i < entries->nelts; ++i) {
    if (elts[i].key != nullptr && is_sub_resource(elts[i].key)) kept.push_back(&elts[i]);
  }
  natural_sort(kept);

  char item[OSS_MAX_SUBRESOURCE_LEN + 1];
  char sep = '?';
  for (const apr_table_entry_t* entry : kept) {
    int len;
    if (entry->val != nullptr && *entry->val != '\0') {
      len = std::snprintf(item, sizeof item, "%c%s=%s", sep, entry->key, entry->val);
    } else {
      len = std::snprintf(item, sizeof item, "%c%s", sep, entry->key);
    }
    if (len < 0 || len >= OSS_MAX_SUBRESOURCE_LEN) {
      aos_log_at(AOS_LOG_ERROR, kFile, "oss_get_canonicalized_resource",
                 "http query params too long, %s.", item);
      return aos_err_invalid_argument;
    }
    if (len > 0) aos_chunk_append(pool, signbuf, item, static_cast<size_t>(len));
    sep = '&';
  }
  return 0;
}

int oss_get_string_to_sign(apr_pool_t* pool, int32_t method, const aos_span* canon_res,
                           apr_table_t* headers, apr_table_t* params, aos_span* signstr) {
  aos_chunk* buf = aos_chunk_create(pool, kSignInitialRoom);
  signstr->len = 0;
  signstr->data = nullptr;

  append(pool, buf, method_name(method));
  append(pool, buf, "\n");
  append(pool, buf, apr_table_get(headers, "Content-MD5"));
  append(pool, buf, "\n");
  append(pool, buf, apr_table_get(headers, "Content-Type"));
  append(pool, buf, "\n");

  const char* date = apr_table_get(headers, "x-oss-date");
  if (date == nullptr) date = apr_table_get(headers, "Date");
  if (date == nullptr || *date == '\0') {
    aos_log_at(AOS_LOG_ERROR, kFile, "oss_get_string_to_sign", "http header date is empty.");
    return aos_err_invalid_argument;
  }
  append(pool, buf, date);
  append(pool, buf, "\n");

  if (int rc = oss_get_canonicalized_headers(pool, headers, buf); rc != 0) return rc;
  if (canon_res != nullptr && canon_res->len > 0) {
    aos_chunk_append(pool, buf, canon_res->data, static_cast<size_t>(canon_res->len));
  }
  if (params != nullptr) {
    if (int rc = oss_get_canonicalized_resource(pool, params, buf); rc != 0) return rc;
  }
  signstr->data = buf->pos;
  signstr->len = static_cast<int32_t>(aos_chunk_data_len(buf));
  return 0;
}

int oss_sign_request(aos_http_request* req, const oss_client_config* config) {
  const char* resource = req->resource != nullptr ? req->resource : "";
  if (std::strlen(resource) >= static_cast<size_t>(OSS_MAX_RESOURCE_LEN)) {
    aos_log_at(AOS_LOG_ERROR, kFile, "oss_sign_request", "http resource too long, %s.", resource);
    return aos_err_invalid_argument;
  }
  char canon[kCanonResourceBuffer];
  aos_span canon_res;
  canon_res.len = std::snprintf(canon, sizeof canon, "/%s", resource);
  canon_res.data = canon;

  if (apr_table_get(req->headers, "x-oss-date") == nullptr) {
    char now[AOS_MAX_GMT_TIME_LEN];
    if (int rc = aos_get_gmt_str_time(now); rc != 0) return rc;
    apr_table_set(req->headers, "Date", now);
  }

  aos_span signstr;
  if (int rc = oss_get_string_to_sign(req->pool, req->method, &canon_res, req->headers,
                                      req->query_params, &signstr);
      rc != 0) {
    return rc;
  }

  unsigned char digest[AOS_SHA1_DIGEST_LEN];
  aos_compute_hmac_sha1(digest,
                        reinterpret_cast<const unsigned char*>(config->access_key_secret.data),
                        config->access_key_secret.len,
                        reinterpret_cast<const unsigned char*>(signstr.data), signstr.len);
  char signature[32];
  int siglen = aos_encode_base64(digest, AOS_SHA1_DIGEST_LEN, signature);

  char* auth = apr_psprintf(req->pool, "OSS %.*s:%.*s", config->access_key_id.len,
                            config->access_key_id.data != nullptr ? config->access_key_id.data : "",
                            siglen, signature);
  apr_table_addn(req->headers, "Authorization", auth);
  return 0;
}
