// Body and string-buffer nodes: a circular doubly linked list of chunks taken from a pool.
#pragma once

#include <apr_pools.h>

#include <cstddef>
#include <cstdint>

struct aos_list {
  aos_list* next;
  aos_list* prev;
};

struct aos_chunk {
  aos_list node;
  char* pos;    // read position
  char* last;   // write position: end of the data
  char* start;  // start of storage
  char* end;    // end of storage
};

void aos_list_init(aos_list* head);
bool aos_list_empty(const aos_list* head);
void aos_list_add_tail(aos_list* head, aos_list* node);
void aos_list_del(aos_list* node);

// A node whose storage of `room` bytes sits directly behind it in the pool.
aos_chunk* aos_chunk_create(apr_pool_t* pool, size_t room);
size_t aos_chunk_data_len(const aos_chunk* chunk);

// Appends by the growth rule: in place when the free room exceeds len + 128, otherwise into new
// pool storage of twice the resulting data length (the old storage stays in the pool).
void aos_chunk_append(apr_pool_t* pool, aos_chunk* chunk, const char* data, size_t len);

// Total data length of a body list.
int64_t aos_body_length(const aos_list* body);
