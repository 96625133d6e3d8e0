// kelvora-pack as a maker runs it: build, describe and unpack a package, refuse a damaged one.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "support/test_support.h"

namespace {

using namespace testsupport;
namespace fs = std::filesystem;

TEST(KelvoraPack, BuildInfoUnpackAndRefuseDamage) {
  TempDir dir;
  // Text that compresses, then noise that does not: both block kinds appear.
  std::vector<uint8_t> program;
  for (int i = 0; i < 40000; ++i) program.push_back(static_cast<uint8_t>("kelvora notes "[i % 14]));
  std::mt19937 gen(5);
  for (int i = 0; i < 100000; ++i) program.push_back(static_cast<uint8_t>(gen()));
  writeFile(dir / "Kelvora.exe", program);
  const std::string tool = binPath("kelvora-pack");
  const std::string exe = (dir / "Kelvora.exe").string(), pkg = (dir / "p.BIN").string(),
                    out = (dir / "out.exe").string();

  ASSERT_EQ(runCommand(tool + " build " + exe + " " + pkg).status, 0);
  EXPECT_LT(fs::file_size(pkg), program.size());
  auto info = runCommand(tool + " info " + pkg);
  EXPECT_EQ(info.status, 0);
  // One line a block (index, plain length, stored length, kind), then the totals.
  EXPECT_NE(info.output.find("1\t65536\t65536\tstored\n"), std::string::npos) << info.output;
  EXPECT_NE(info.output.find("2\t8928\t8928\tstored\n"), std::string::npos) << info.output;
  EXPECT_NE(info.output.find("total\t140000\t" + std::to_string(fs::file_size(pkg)) + "\t3 blocks"),
            std::string::npos)
      << info.output;
  ASSERT_EQ(runCommand(tool + " unpack " + pkg + " " + out).status, 0);
  EXPECT_EQ(readFile(out), program);

  // A package cut inside its data fails with a reason and leaves no output behind.
  auto bytes = readFile(pkg);
  bytes.resize(bytes.size() - 100);
  writeFile(dir / "cut.BIN", bytes);
  fs::remove(out);
  auto refused = runCommand(tool + " unpack " + (dir / "cut.BIN").string() + " " + out + " 2>&1");
  EXPECT_NE(refused.status, 0);
  EXPECT_NE(refused.output.find("block"), std::string::npos) << refused.output;
  EXPECT_FALSE(fs::exists(out));
  EXPECT_EQ(runCommand(tool + " --help").status, 0);
  EXPECT_NE(runCommand(tool + " frobnicate 2>/dev/null").status, 0);
}

}  // namespace
