// The storage client fuzz targets' shared start: APR once, one root pool, the client's log and
// Mini-XML's complaints silenced so a run prints only what libFuzzer says.
#pragma once

#include <apr_general.h>
#include <apr_pools.h>
#include <mxml.h>

#include <cstdarg>

#include "storage_client/aos_log.h"

inline apr_pool_t* storage_fuzz_root_pool() {
  static apr_pool_t* pool = [] {
    apr_initialize();
    apr_pool_t* p = nullptr;
    apr_pool_create(&p, nullptr);
    aos_log_format = [](int, const char*, int, const char*, const char*, va_list) {};
    mxmlSetErrorCallback([](const char*) {});
    return p;
  }();
  return pool;
}
