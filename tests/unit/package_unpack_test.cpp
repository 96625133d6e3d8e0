#include "updater/package_unpack.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/support/test_support.h"

using namespace kelvora;

namespace {

int unpackBytes(const std::vector<uint8_t>& pkg, const std::filesystem::path& out) {
  std::FILE* f = std::tmpfile();
  if (!pkg.empty()) std::fwrite(pkg.data(), 1, pkg.size(), f);
  std::rewind(f);
  return unpackPackage(f, out.c_str());
}

TEST(PackageUnpack, WellFormedPackages) {
  testsupport::TempDir dir;
  auto out = dir / "Kelvora.exe";
  EXPECT_EQ(unpackBytes({}, out), 0);
  EXPECT_TRUE(testsupport::readFile(out).empty());
  ASSERT_EQ(unpackBytes({4, 0, 3, 0, 0x20, 0x90, 0xA0}, out), 0);
  EXPECT_EQ(testsupport::readFile(out), (std::vector<uint8_t>{'A', 'B', 'A', 'B'}));
  std::vector<uint8_t> stored = {0, 0, 0, 0};
  stored.resize(4 + 65536, 9);
  ASSERT_EQ(unpackBytes(stored, out), 0);
  EXPECT_EQ(testsupport::readFile(out), std::vector<uint8_t>(65536, 9));
}

TEST(PackageUnpack, MalformedPackagesFail) {
  testsupport::TempDir dir;
  auto out = dir / "Kelvora.exe";
  EXPECT_EQ(unpackBytes({4, 0, 3}, out), -1);
  EXPECT_EQ(unpackBytes({4, 0, 3, 0, 0x20}, out), -1);
  EXPECT_EQ(unpackBytes({4, 0, 0, 0}, out), -1);
  EXPECT_EQ(unpackBytes({5, 0, 5, 0, 1, 2}, out), -1);
}

TEST(PackageUnpack, PackRoundTrip) {
  testsupport::TempDir dir;
  auto out = dir / "Kelvora.exe";
  std::mt19937 rng(3);
  std::vector<uint8_t> data;
  for (int i = 0; i < 150000; ++i)
    data.push_back(i < 70000 ? uint8_t("text "[i % 5]) : uint8_t(rng()));
  ASSERT_EQ(unpackBytes(packPackage(data), out), 0);
  EXPECT_EQ(testsupport::readFile(out), data);
}

}  // namespace
