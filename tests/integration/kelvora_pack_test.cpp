// kelvora-pack as a maker runs it: build, describe and unpack a package, refuse a damaged one;
// make keys, sign, and verify as Update.exe does, with the minisign command as the outside oracle.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
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
}

// Over 64 MiB, a terminal on standard error sees one line rewritten in place; a file sees none.
TEST(KelvoraPack, ProgressOnlyOnATerminal) {
  TempDir dir;
  const std::string program = randomString((64 << 20) + 5000, 9);
  writeFile(dir / "big.exe", program);
  const std::string tool = binPath("kelvora-pack");
  const std::string exe = (dir / "big.exe").string(), pkg = (dir / "big.BIN").string(),
                    out = (dir / "out.exe").string(), err = (dir / "err.txt").string();
  // script(1) gives the tool a terminal and copies what it writes there to our output.
  auto built = runCommand("script -qec '" + tool + " build " + exe + " " + pkg + "' /dev/null");
  ASSERT_EQ(built.status, 0) << built.output;
  EXPECT_NE(built.output.find("\rbuild   0%"), std::string::npos);
  EXPECT_NE(built.output.find("\rbuild 100% (64.0 of 64.0 MiB)"), std::string::npos);
  ASSERT_EQ(runCommand(tool + " unpack " + pkg + " " + out + " 2>" + err).status, 0);
  EXPECT_EQ(fs::file_size(err), 0u);
  EXPECT_TRUE(fileText(out) == program);
}

class PackSigning : public ::testing::Test {
 protected:
  void SetUp() override {
    if (runCommand("command -v minisign >/dev/null").status != 0) GTEST_SKIP() << "no minisign";
    writeFile(dir / "program", randomString(300000, 11));
    ASSERT_EQ(pack("build " + path("program") + " " + path("11.0.BIN")).status, 0);
    ASSERT_EQ(pack("keygen " + path("a.pub") + " " + path("a.key")).status, 0);
    ASSERT_EQ(pack("keygen " + path("b.pub") + " " + path("b.key")).status, 0);
    ASSERT_EQ(runCommand("minisign -G -W -p " + path("m.pub") + " -s " + path("m.key")).status, 0);
  }
  std::string path(const std::string& name) { return (dir / name).string(); }
  CommandResult pack(const std::string& args) {
    return runCommand(binPath("kelvora-pack") + " " + args + " 2>&1");
  }
  // Signs 11.0.BIN and gives the signature file's text.
  std::string sign(const std::string& key, const std::string& version) {
    EXPECT_EQ(
        pack("sign --secret-key " + path(key) + " --version " + version + " " + path("11.0.BIN"))
            .status,
        0);
    return fileText(dir / "11.0.BIN.minisig");
  }
  std::string minisign(const std::string& flags) {
    runCommand("minisign -S -s " + path("m.key") + " -m " + path("11.0.BIN") + " -x " +
               path("m.sig") + " " + flags + " >/dev/null");
    return fileText(dir / "m.sig");
  }
  TempDir dir;
};

TEST_F(PackSigning, MinisignAcceptsOurKeysAndSignaturesAndWeRefuseEncryptedKeys) {
  sign("a.key", "3.11.0");
  auto checked = runCommand("minisign -V -p " + path("a.pub") + " -m " + path("11.0.BIN"));
  EXPECT_EQ(checked.status, 0) << checked.output;
  // The sizes Update.exe bounds its download by: the file's, and the program's it decodes to.
  const std::string sizes =
      "version:3.11.0\tpackage-size:" + std::to_string(fs::file_size(dir / "11.0.BIN")) +
      "\tprogram-size:300000";
  EXPECT_NE(checked.output.find(sizes), std::string::npos) << checked.output;
  // "Sc" in place of the two zero bytes marks a key encrypted with a password.
  std::string text = fileText(dir / "a.key");
  text.replace(text.find("\nRWQAAEIy") + 1, 8, "RWRTY0Iy");
  writeFile(dir / "encrypted.key", text);
  auto refused =
      pack("sign --secret-key " + path("encrypted.key") + " --version 3.11.0 " + path("11.0.BIN"));
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.output.find("encrypted"), std::string::npos) << refused.output;
}

// Every refusal Update.exe knows, through the same check, on one package announced as 3.11.0.
// The parser's own rules (base64, line ends, the comment's tokens) are judged in its unit test.
TEST_F(PackSigning, VerifyAcceptsOnlyAValidSignatureOfTheAnnouncedVersion) {
  const std::string good = sign("a.key", "3.11.0"), otherKey = sign("b.key", "3.11.0"),
                    otherVersion = sign("a.key", "3.12.0");
  std::string edited = good, over = good,
              noGlobal = good.substr(0, good.rfind('\n', good.size() - 2) + 1);
  edited[edited.find("timestamp:") + 10] ^= 1;
  over.append(5000, '\n');
  const std::string escape = minisign("-t \"$(printf 'version:3.12.0 \\033[2J')\"");
  const std::string legacy = minisign("-l -t version:3.11.0");
  const std::string theirs = minisign("-t version:3.11.0");
  const struct {
    const char* name;
    std::optional<std::string> signature;  // none: no signature file
    std::string key;
    bool flipPackageByte;
    int status;
    const char* says;
  } cases[] = {
      {"good", good, "a.pub", false, 0, "signed by key"},
      {"one package byte flipped", good, "a.pub", true, 1, "bad signature"},
      {"signed by another key", otherKey, "a.pub", false, 1, "unknown key id"},
      {"signed for another version", otherVersion, "a.pub", false, 1, "version mismatch"},
      {"missing", std::nullopt, "a.pub", false, 1, "missing signature object"},
      {"trusted comment edited", edited, "a.pub", false, 1, "bad trusted-comment signature"},
      {"no global signature", noGlobal, "a.pub", false, 1, "malformed signature file"},
      {"over 4 KiB", over, "a.pub", false, 1, "malformed signature file: over 4096 bytes"},
      {"legacy Ed", legacy, "m.pub", false, 1, "legacy signature"},
      {"control bytes escaped", escape, "m.pub", false, 1, "version:3.12.0 \\x1B[2J\""},
      {"made by minisign", theirs, "m.pub", false, 0, "signed by key"},
      {"another package size", minisign("-t 'version:3.11.0 package-size:1'"), "m.pub", false, 1,
       "package-size:1 in the trusted comment"},
      {"another program size", minisign("-t 'version:3.11.0\tprogram-size:1'"), "m.pub", false, 1,
       "program-size:1 in the trusted comment"},
  };
  auto package = readFile(dir / "11.0.BIN");
  for (const auto& c : cases) {
    auto bytes = package;
    if (c.flipPackageByte) bytes[bytes.size() / 2] ^= 0x01;
    writeFile(dir / "case.BIN", bytes);
    fs::remove(dir / "case.sig");
    if (c.signature) writeFile(dir / "case.sig", *c.signature);
    // The key as a file for our keys, as the base64 line (as in the build) for minisign's.
    std::string key = path(c.key);
    if (c.key == "m.pub") key = runCommand("tail -n 1 " + key).output.substr(0, 56);
    auto r = pack("verify --public-key " + key + " --version 3.11.0 " + path("case.BIN") +
                  " --signature " + path("case.sig"));
    EXPECT_EQ(r.status, c.status) << c.name << ": " << r.output;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << c.name << ": " << r.output;
    EXPECT_EQ(r.output.find('\033'), std::string::npos) << c.name;
  }
}

// A version argument of any tool is three canonical decimal numbers that fit, or it is refused.
TEST_F(PackSigning, VersionsAreCanonicalOrRefused) {
  const std::string key = " --secret-key " + path("a.key"), pub = " --public-key " + path("a.pub");
  for (const char* version :
       {"3.11.00", "3.11.4294967296", "+3.11.0", "3.11", "3.11.0.1", " 3.11.0", "4294967296.1.1"}) {
    const std::string v = std::string(" '") + version + "' ";
    for (const std::string& command :
         {binPath("kelvora-pack") + " sign" + key + " --version" + v + path("11.0.BIN"),
          binPath("kelvora-pack") + " verify" + pub + " --version" + v + path("11.0.BIN"),
          binPath("kelvora-config") + " set " + path("config.cfg") + " --version" + v,
          binPath("kelvora-devserver") + " --http-port 0 --update-port 0 --announce" + v})
      EXPECT_EQ(runCommand(command + " 2>/dev/null").status, 2) << command;
  }
}

}  // namespace
