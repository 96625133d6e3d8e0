// Status records and the parser of the service's XML error bodies.
#include <apr_general.h>
#include <apr_pools.h>
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "storage_client/aos_chunk.h"
#include "storage_client/aos_log.h"
#include "storage_client/aos_status.h"
#include "support/storage_fixture.h"

namespace {

class StorageStatus : public testsupport::StoragePoolTest {
 protected:
  void SetUp() override {
    StoragePoolTest::SetUp();
    aos_list_init(&body_);
  }

  // Appends the text to the body as chunks of at most `piece` bytes.
  void body(const std::string& text, size_t piece = 1 << 20) {
    for (size_t at = 0; at < text.size(); at += piece) {
      size_t n = std::min(piece, text.size() - at);
      aos_chunk* c = aos_chunk_create(pool_, n);
      std::memcpy(c->last, text.data() + at, n);
      c->last += n;
      aos_list_add_tail(&body_, &c->node);
    }
  }

  aos_status* parse(int code, aos_status* s = nullptr) {
    return aos_status_parse_from_body(pool_, &body_, code, s);
  }

  aos_list body_;
};

const char* kError =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<Error>\n  <Code>E1</Code>\n  <Message>M1</Message>\n  <RequestId>R</RequestId>\n</Error>\n";

TEST(StorageStatusCodes, ClientErrorCodeValues) {
  EXPECT_EQ(aos_err_out_of_memory, -1000);
  EXPECT_EQ(aos_err_memory_limit, -999);
  EXPECT_EQ(aos_err_connect, -998);
  EXPECT_EQ(aos_err_internal, -996);
  EXPECT_EQ(aos_err_invalid_argument, -994);
  EXPECT_EQ(aos_err_transfer, -992);
  EXPECT_EQ(aos_err_setup, -991);
  EXPECT_EQ(aos_err_name_lookup, -990);
  EXPECT_EQ(aos_err_peer_verification, -989);
  EXPECT_EQ(aos_err_write_body, -988);
  EXPECT_EQ(aos_err_read_body, -987);
}

TEST_F(StorageStatus, SuccessIsTwoHundredToTwoNinetyNine) {
  aos_status* s = aos_status_create(pool_);
  EXPECT_EQ(s->code, 0);
  EXPECT_EQ(s->error_code, nullptr);
  for (int code : {200, 206, 299}) {
    s->code = code;
    EXPECT_TRUE(aos_status_is_ok(s)) << code;
  }
  for (int code : {0, 199, 300, 404, -996, -200}) {
    s->code = code;
    EXPECT_FALSE(aos_status_is_ok(s)) << code;
  }
}

TEST_F(StorageStatus, ServiceErrorGivesCodeAndMessage) {
  body(kError);
  aos_status* s = parse(403);
  EXPECT_EQ(s->code, 403);
  EXPECT_STREQ(s->error_code, "E1");
  EXPECT_STREQ(s->error_msg, "M1");
  EXPECT_EQ(s->req_id, nullptr);
  EXPECT_TRUE(capturedLog().empty());
}

TEST_F(StorageStatus, ErrorFoundAnywhereAndAcrossChunks) {
  body(std::string("<Wrap><Other><Code>no</Code></Other><Error><Message>two  words\n</Message>"
                   "<Detail><Code>E2</Code></Detail></Error></Wrap>"),
       3);
  aos_status* given = aos_status_create(pool_);
  aos_status* s = parse(500, given);
  EXPECT_EQ(s, given);
  EXPECT_EQ(s->code, 500);
  // Code is searched from Error onward, so the earlier one outside it does not count.
  EXPECT_STREQ(s->error_code, "E2");
  EXPECT_STREQ(s->error_msg, "two  words\n");
}

TEST_F(StorageStatus, MissingOrEmptyElements) {
  body("<Error><Code>OnlyCode</Code></Error>");
  aos_status* s = parse(400);
  EXPECT_STREQ(s->error_code, "OnlyCode");
  EXPECT_EQ(s->error_msg, nullptr);

  aos_list_init(&body_);
  body("<Error><Code/><Message></Message></Error>");
  s = parse(400);
  EXPECT_STREQ(s->error_code, "");
  EXPECT_STREQ(s->error_msg, "");

  // A bare Error root after leading white space.
  aos_list_init(&body_);
  body("\n  <Error><Code>Lead</Code></Error>");
  EXPECT_STREQ(parse(400)->error_code, "Lead");
}

TEST_F(StorageStatus, EmptyBodyIsUnknownWithoutLog) {
  aos_status* s = parse(404);
  EXPECT_EQ(s->code, 404);
  EXPECT_STREQ(s->error_code, AOS_UNKNOWN_ERROR_CODE);
  EXPECT_EQ(s->error_msg, nullptr);
  EXPECT_TRUE(capturedLog().empty());
}

TEST_F(StorageStatus, XmlWithoutErrorLogsComplaintAndBody) {
  const std::string page = "<html><body><p>Service unavailable</p></body></html>";
  body(page, 7);
  aos_status* s = parse(500);
  EXPECT_EQ(s->code, 500);
  EXPECT_STREQ(s->error_code, AOS_UNKNOWN_ERROR_CODE);
  EXPECT_EQ(s->error_msg, nullptr);
  ASSERT_EQ(capturedLog().size(), 2u);
  EXPECT_EQ(capturedLog()[0], "Xml format invalid, root node name is not Error.\n");
  EXPECT_EQ(capturedLog()[1], "Xml Content:" + page + "\n");
  // The body stays as it was for the caller.
  EXPECT_EQ(aos_body_length(&body_), static_cast<int64_t>(page.size()));
}

TEST_F(StorageStatus, NonXmlBodiesAreUnknown) {
  for (const char* text : {"<Error><Code>E1</Message></Error>", "<<<>>>", "<Error><Code>E1"}) {
    aos_list_init(&body_);
    body(text);
    aos_status* s = parse(502);
    EXPECT_EQ(s->code, 502) << text;
    EXPECT_STREQ(s->error_code, AOS_UNKNOWN_ERROR_CODE) << text;
    EXPECT_EQ(s->error_msg, nullptr) << text;
  }
}

TEST_F(StorageStatus, SuccessReturnsAtOnce) {
  body(kError);
  aos_status* s = parse(204);
  EXPECT_EQ(s->code, 204);
  EXPECT_EQ(s->error_code, nullptr);
  EXPECT_EQ(s->error_msg, nullptr);
  EXPECT_EQ(s->req_id, nullptr);
}

}  // namespace
