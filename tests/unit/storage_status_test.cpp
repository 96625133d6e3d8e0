// The parser of the service's XML error bodies, which come from the network.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "storage_client/aos_chunk.h"
#include "storage_client/aos_status.h"
#include "storage_client/aos_transport.h"
#include "support/storage_fixture.h"

namespace {

class StorageStatus : public testsupport::StoragePoolTest {
 protected:
  // The text as a body list of chunks of at most `piece` bytes, parsed for `code`.
  aos_status* parse(const std::string& text, int code, size_t piece = 1 << 20) {
    aos_list_init(&body_);
    for (size_t at = 0; at < text.size(); at += piece) {
      size_t n = std::min(piece, text.size() - at);
      aos_chunk* c = aos_chunk_create(pool_, n);
      std::memcpy(c->last, text.data() + at, n);
      c->last += n;
      aos_list_add_tail(&body_, &c->node);
    }
    return aos_status_parse_from_body(pool_, &body_, code, nullptr);
  }
  aos_list body_;
};

TEST_F(StorageStatus, ErrorBodies) {
  const char* unknown = AOS_UNKNOWN_ERROR_CODE;
  struct Case {
    std::string body;
    size_t piece;
    int code;
    const char* errorCode;  // nullptr: none
    const char* message;
  } cases[] = {
      {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error>\n  <Code>E1</Code>\n  "
       "<Message>M1</Message>\n</Error>\n",
       1 << 20, 403, "E1", "M1"},
      // Code is searched from Error onward, across chunk borders; the one before Error is not it.
      {"<Wrap><Other><Code>no</Code></Other><Error><Message>two  words\n</Message>"
       "<Detail><Code>E2</Code></Detail></Error></Wrap>",
       3, 500, "E2", "two  words\n"},
      {"<Error><Code>OnlyCode</Code></Error>", 1 << 20, 400, "OnlyCode", nullptr},
      {"<Error><Code/><Message></Message></Error>", 1 << 20, 400, "", ""},
      {"", 1 << 20, 404, unknown, nullptr},
      {"<html><body><p>Service unavailable</p></body></html>", 7, 500, unknown, nullptr},
      {"<Error><Code>E1", 1 << 20, 502, unknown, nullptr},
      // A success is never parsed.
      {"<Error><Code>E1</Code></Error>", 1 << 20, 204, nullptr, nullptr},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.body);
    aos_status* s = parse(k.body, k.code, k.piece);
    EXPECT_EQ(s->code, k.code);
    EXPECT_STREQ(s->error_code, k.errorCode);  // nullptr and "" differ here
    EXPECT_STREQ(s->error_msg, k.message);
    EXPECT_EQ(aos_body_length(&body_), static_cast<int64_t>(k.body.size()));  // left as it was
  }
}

// A hostile error body nested 200,000 levels deep fills the 1 MiB the client keeps; the updater
// parses on a worker thread with the default stack, so that is where it must survive.
TEST_F(StorageStatus, DeeplyNestedBodyOnAWorkerThread) {
  constexpr int kDepth = 200000;
  std::string text = "<Error><Code>Deep</Code>";
  for (int i = 0; i < kDepth; ++i) text += "<a>";
  while (text.size() + 4 <= static_cast<size_t>(AOS_MAX_ERROR_BODY_SIZE)) text += "</a>";
  ASSERT_GT(text.size() + 4, static_cast<size_t>(AOS_MAX_ERROR_BODY_SIZE));
  aos_status* s = nullptr;
  std::thread worker([&] { s = parse(text, 400); });
  worker.join();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->code, 400);
  EXPECT_STREQ(s->error_code, AOS_UNKNOWN_ERROR_CODE);  // the document is unfinished
}

}  // namespace
