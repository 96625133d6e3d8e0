#include "oss_object_head.h"

#include <apr_tables.h>

#include "oss_auth.h"
#include "oss_object_call.h"
#include "oss_util.h"

void oss_head_object(const oss_object_target* target, oss_object_outcome* outcome) {
  oss_object_outcome_clear(outcome);
  if (!oss_object_target_complete(target)) {
    outcome->status = aos_err_invalid_argument;
    return;
  }
  apr_pool_t* pool = nullptr;
  oss_request_options* options = nullptr;
  if (!oss_object_call_begin(target, &pool, &options)) {
    outcome->status = aos_err_out_of_memory;
    return;
  }
  aos_span bucket = aos_span_of(target->bucket);
  aos_span object = aos_span_of(target->object);
  aos_http_request* req = nullptr;
  aos_http_response* resp = nullptr;
  oss_prepare_object_request(options, &bucket, &object, apr_table_make(pool, 4),
                             apr_table_make(pool, 1), &req, &resp);
  req->method = HTTP_HEAD;
  outcome->attempts = 1;
  if (int r = oss_sign_request(req, options->config); r != 0) {
    outcome->status = r;
  } else {
    oss_object_outcome_fill(oss_perform_request(options->ctl, req, resp), resp, outcome);
  }
  apr_pool_destroy(pool);
}
