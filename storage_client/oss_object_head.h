// A signed HEAD of an object. Needs aos_http_io_initialize() to have run, as every client call
// does.
#pragma once

#include "oss_object_target.h"

// One signed HEAD of the object: status, ETag and Content-Length. An error answer has no body,
// so error_code and error_message stay "" (the request ID is still there).
void oss_head_object(const oss_object_target* target, oss_object_outcome* outcome);
