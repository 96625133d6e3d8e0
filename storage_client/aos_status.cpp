#include "aos_status.h"

#include <apr_strings.h>
#include <mxml.h>

#include <cstdlib>
#include <cstring>

#include "aos_log.h"

namespace {

constexpr const char* kFile = "aos_status";

// The body joined in list order into one NUL-terminated text in `storage`.
void join_body(aos_list* body, char* storage) {
  char* out = storage;
  for (aos_list* n = body->next; n != body; n = n->next) {
    auto* chunk = reinterpret_cast<aos_chunk*>(n);
    size_t len = aos_chunk_data_len(chunk);
    if (len > 0) std::memcpy(out, chunk->pos, len);
    out += len;
  }
  *out = '\0';
}

// A pool copy of the element's first child text; an element without text gives the empty text,
// so that a present but empty Code still tells the caller the service sent one.
char* element_text(apr_pool_t* pool, mxml_node_t* element) {
  mxml_node_t* child = mxmlGetFirstChild(element);
  const char* text = child != nullptr ? mxmlGetOpaque(child) : nullptr;
  return apr_pstrdup(pool, text != nullptr ? text : "");
}

}  // namespace

aos_status* aos_status_create(apr_pool_t* pool) {
  return static_cast<aos_status*>(apr_pcalloc(pool, sizeof(aos_status)));
}

bool aos_status_is_ok(const aos_status* status) {
  return status->code > 0 && status->code / 100 == 2;
}

aos_status* aos_status_parse_from_body(apr_pool_t* pool, aos_list* body, int32_t code,
                                       aos_status* status) {
  if (status == nullptr) status = aos_status_create(pool);
  status->code = code;
  if (code / 100 == 2) return status;

  int64_t len = aos_body_length(body);
  if (len <= 0) {
    status->error_code = apr_pstrdup(pool, AOS_UNKNOWN_ERROR_CODE);
    return status;
  }

  auto* text = static_cast<char*>(std::malloc(static_cast<size_t>(len) + 1));
  if (text == nullptr) {
    status->error_code = apr_pstrdup(pool, AOS_UNKNOWN_ERROR_CODE);
    return status;
  }
  join_body(body, text);
  // The document hangs under a holder node so that top-level siblings (white space before the
  // root, for one) are searched and freed with it. The holder's name has a space, which no tag
  // name has, so no "</...>" in the body can close it and leave later nodes with no parent.
  // Standard error carries the client's own log lines only: a malformed error body shows in its
  // status, not in the parser's complaints (the parser keeps its callback per thread).
  mxmlSetErrorCallback([](const char*) {});
  mxml_node_t* doc = mxmlNewElement(MXML_NO_PARENT, "error body");
  mxml_node_t* loaded = mxmlLoadString(doc, text, MXML_OPAQUE_CALLBACK);
  std::free(text);
  if (loaded == nullptr) {
    mxmlDelete(doc);
    status->error_code = apr_pstrdup(pool, AOS_UNKNOWN_ERROR_CODE);
    return status;
  }

  mxml_node_t* error = mxmlFindElement(doc, doc, "Error", nullptr, nullptr, MXML_DESCEND);
  if (error == nullptr) {
    auto* content = static_cast<char*>(apr_palloc(pool, static_cast<apr_size_t>(len) + 1));
    join_body(body, content);
    aos_log_at(AOS_LOG_ERROR, kFile, "aos_status_parse_from_body",
               "Xml format invalid, root node name is not Error.\n");
    aos_log_at(AOS_LOG_ERROR, kFile, "aos_status_parse_from_body", "Xml Content:%s\n", content);
    status->error_code = apr_pstrdup(pool, AOS_UNKNOWN_ERROR_CODE);
    mxmlDelete(doc);
    return status;
  }

  if (mxml_node_t* node = mxmlFindElement(error, doc, "Code", nullptr, nullptr, MXML_DESCEND)) {
    status->error_code = element_text(pool, node);
  }
  if (mxml_node_t* node = mxmlFindElement(error, doc, "Message", nullptr, nullptr, MXML_DESCEND)) {
    status->error_msg = element_text(pool, node);
  }
  mxmlDelete(doc);
  return status;
}
