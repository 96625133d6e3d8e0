#include "aos_chunk.h"

#include <cstring>

void aos_list_init(aos_list* head) {
  head->next = head->prev = head;
}

bool aos_list_empty(const aos_list* head) {
  return head->next == head;
}

void aos_list_add_tail(aos_list* head, aos_list* node) {
  node->prev = head->prev;
  node->next = head;
  head->prev->next = node;
  head->prev = node;
}

void aos_list_del(aos_list* node) {
  node->prev->next = node->next;
  node->next->prev = node->prev;
  node->next = node->prev = node;
}

aos_chunk* aos_chunk_create(apr_pool_t* pool, size_t room) {
  auto* chunk = static_cast<aos_chunk*>(apr_palloc(pool, sizeof(aos_chunk) + room));
  aos_list_init(&chunk->node);
  chunk->start = reinterpret_cast<char*>(chunk + 1);
  chunk->pos = chunk->last = chunk->start;
  chunk->end = chunk->start + room;
  return chunk;
}

size_t aos_chunk_data_len(const aos_chunk* chunk) {
  return static_cast<size_t>(chunk->last - chunk->pos);
}

void aos_chunk_append(apr_pool_t* pool, aos_chunk* chunk, const char* data, size_t len) {
  if (len == 0) return;
  size_t room = static_cast<size_t>(chunk->end - chunk->last);
  if (room > len + 128) {
    std::memcpy(chunk->last, data, len);
    chunk->last += len;
    return;
  }
  size_t have = aos_chunk_data_len(chunk);
  size_t size = 2 * (have + len);
  auto* storage = static_cast<char*>(apr_palloc(pool, size));
  if (have > 0) std::memcpy(storage, chunk->pos, have);
  std::memcpy(storage + have, data, len);
  chunk->start = chunk->pos = storage;
  chunk->last = storage + have + len;
  chunk->end = storage + size;
}

int64_t aos_body_length(const aos_list* body) {
  int64_t total = 0;
  for (const aos_list* n = body->next; n != body; n = n->next) {
    total += static_cast<int64_t>(aos_chunk_data_len(reinterpret_cast<const aos_chunk*>(n)));
  }
  return total;
}
