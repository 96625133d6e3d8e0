// A package's two names, object key and local file, each stand for one version: canonical
// numbers only, so start-up's clean-up, the resume files and the devserver agree on them.
#include <gtest/gtest.h>

#include "protocol/package_names.h"

namespace {

TEST(PackageNames, ParseOnlyWhatTheyFormat) {
  const struct {
    const char* key;
    const char* file;
    bool ok;
  } cases[] = {
      {"3/11.0.BIN", "3.11.0.BIN", true},       {"0/0.4294967295.BIN", "0.0.4294967295.BIN", true},
      {"3/11.00.BIN", "3.11.00.BIN", false},    {"3/11.0.bin", "3.11.0.bin", false},
      {"3/11/0.BIN", "3.11.0.BIN.etag", false}, {"3.11.0.BIN", "3/11.0.BIN", false},
  };
  for (const auto& c : cases) {
    const auto fromKey = protocol::parsePackageObjectKey(c.key);
    const auto fromFile = protocol::parsePackageFileName(c.file);
    EXPECT_EQ(fromKey.has_value(), c.ok) << c.key;
    EXPECT_EQ(fromFile.has_value(), c.ok) << c.file;
    if (fromKey && fromFile) {
      EXPECT_EQ(*fromKey, *fromFile);
      EXPECT_EQ(protocol::packageObjectKey(*fromKey), c.key);
      EXPECT_EQ(protocol::packageFileName(*fromFile), c.file);
    }
  }
}

}  // namespace
