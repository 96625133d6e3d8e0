// kelvora-pack as a maker runs it: build, describe and unpack a package, refuse a damaged one.
#include <gtest/gtest.h>

#include <cstring>
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
  bytes.erase(bytes.end() - 100, bytes.end());
  writeFile(dir / "cut.BIN", bytes);
  fs::remove(out);
  auto refused = runCommand(tool + " unpack " + (dir / "cut.BIN").string() + " " + out + " 2>&1");
  EXPECT_NE(refused.status, 0);
  EXPECT_NE(refused.output.find("block 2 (header at byte "), std::string::npos) << refused.output;
  EXPECT_FALSE(fs::exists(out));
  EXPECT_NE(runCommand(tool + " frobnicate 2>/dev/null").status, 0);
}

TEST(KelvoraPack, RefusedBlockNamesBlockAndBytes) {
  TempDir dir;
  // Block 0: "ABAB" compressed; block 1 at byte 7: "abc", then at stream byte 3 a match at
  // offset 3.
  std::vector<uint8_t> pkg = {4, 0, 3, 0, 0x20, 0x90, 0xA0, 5, 0, 4, 0, 0x30, 0x98, 0x8C, 0x76};
  writeFile(dir / "bad.BIN", pkg);
  const std::string out = (dir / "out.exe").string();
  auto r = runCommand(binPath("kelvora-pack") + " unpack " + (dir / "bad.BIN").string() + " " +
                      out + " 2>&1");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("block 1 (header at byte 7): match offset not below the window at "
                          "byte 14"),
            std::string::npos)
      << r.output;
  EXPECT_FALSE(fs::exists(out));
}

TEST(KelvoraPack, HelpAndVersion) {
  const std::string tool = binPath("kelvora-pack");
  auto help = runCommand(tool + " --help");
  EXPECT_EQ(help.status, 0);
  for (const char* word : {"build", "unpack", "info"})
    EXPECT_NE(help.output.find(word), std::string::npos) << help.output;
  auto version = runCommand(tool + " --version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.output.rfind("kelvora-pack ", 0), 0u) << version.output;
  EXPECT_EQ(runCommand(tool + " 2>/dev/null").status, 2);
}

// Over 64 MiB, a terminal on standard error sees one line rewritten in place; a file sees none.
TEST(KelvoraPack, ProgressOnlyOnATerminal) {
  TempDir dir;
  std::vector<uint8_t> program((64 << 20) + 5000);
  std::mt19937 gen(9);
  for (size_t i = 0; i < program.size(); i += 4) {
    const uint32_t v = gen();
    std::memcpy(&program[i], &v, std::min<size_t>(4, program.size() - i));
  }
  writeFile(dir / "big.exe", program);
  const std::string tool = binPath("kelvora-pack");
  const std::string exe = (dir / "big.exe").string(), pkg = (dir / "big.BIN").string(),
                    out = (dir / "out.exe").string(), err = (dir / "err.txt").string();
  // script(1) gives the tool a terminal and copies what it writes there to our output.
  auto built = runCommand("script -qec '" + tool + " build " + exe + " " + pkg + "' /dev/null");
  ASSERT_EQ(built.status, 0) << built.output;
  EXPECT_NE(built.output.find("\rbuild   0%"), std::string::npos);
  EXPECT_NE(built.output.find("\rbuild 100% (64.0 of 64.0 MiB)"), std::string::npos);
  auto unpacked = runCommand("script -qec '" + tool + " unpack " + pkg + " " + out + "' /dev/null");
  ASSERT_EQ(unpacked.status, 0) << unpacked.output;
  EXPECT_NE(unpacked.output.find("\runpack 100%"), std::string::npos);
  EXPECT_EQ(readFile(out), program);

  ASSERT_EQ(runCommand(tool + " unpack " + pkg + " " + out + " 2>" + err).status, 0);
  EXPECT_EQ(fs::file_size(err), 0u);
}

}  // namespace
