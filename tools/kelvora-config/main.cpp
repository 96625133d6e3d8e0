// kelvora-config: shows, deciphers, enciphers and edits an updater settings file.
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "protocol/version_text.h"
#include "updater/atomic_file.h"
#include "updater/settings_block.h"
#include "updater/settings_file.h"

namespace {

using atomic_file::replaceFileAtomically;
using settings_file::decryptContainer;
using settings_file::encryptContainer;
using settings_file::MAX_SETTINGS_FILE_SIZE;

// Settings files and plain blocks are small; a longer file is refused rather than read whole.
std::optional<std::vector<uint8_t>> readSmallFile(const std::string& path, size_t limit,
                                                  std::string* why) {
  auto bytes = atomic_file::readFileHead(path, limit + 1);
  if (!bytes)
    *why = "cannot read " + path;
  else if (bytes->size() > limit)
    *why = path + " is longer than " + std::to_string(limit) + " bytes; left unchanged";
  else
    return bytes;
  return std::nullopt;
}

constexpr char kUsage[] =
    "usage: kelvora-config COMMAND ...\n"
    "  show FILE                     decipher FILE in memory and print its settings\n"
    "  decrypt IN OUT                write the plain settings of container IN to OUT\n"
    "  encrypt IN OUT                write plain IN as a settings container to OUT\n"
    "  set FILE [--version A.B.C] [--language N]\n"
    "                                change the settings; FILE stays enciphered\n"
    "  --help, --version\n";

int fail(const std::string& message) {
  std::fprintf(stderr, "kelvora-config: %s\n", message.c_str());
  return 1;
}

// Deciphers a container read from path, or says why not.
std::optional<std::vector<uint8_t>> readContainer(const std::string& path, std::string* why) {
  auto bytes = readSmallFile(path, MAX_SETTINGS_FILE_SIZE, why);
  if (!bytes) return std::nullopt;
  auto plain = decryptContainer(*bytes);
  if (!plain) *why = path + " is not a valid settings container; left unchanged";
  return plain;
}

settings_block::Block toBlock(const std::vector<uint8_t>& plain) {
  settings_block::Block block{};
  std::memcpy(block.data(), plain.data(), std::min(plain.size(), block.size()));
  return block;
}

bool parseNumber(const char* text, uint32_t* n) {
  char* end = nullptr;
  unsigned long value = std::strtoul(text, &end, 10);
  if (end == text || *end != '\0' || value > 0xFFFFFFFFul || text[0] == '-') return false;
  *n = static_cast<uint32_t>(value);
  return true;
}

int show(const std::string& path) {
  std::string why;
  auto plain = readContainer(path, &why);
  if (!plain) return fail(why);
  settings_block::Block b = toBlock(*plain);
  settings_block::Version v = settings_block::version(b);
  std::printf("version %u.%u.%u\n", v.major, v.minor, v.build);
  std::printf("language %u (%s)\n", settings_block::language(b),
              settings_block::isChinese(b) ? "Chinese" : "English");
  std::printf("plain length %zu\n", plain->size());
  std::printf(
      "fixed byte 0: %u, byte 16: %u, bytes 17-20: 0x%08X, u32 40: %u, u32 44: %u, "
      "u16 52: 0x%04X\n",
      b[0], b[16], settings_block::getU32(b, 17), settings_block::getU32(b, 40),
      settings_block::getU32(b, 44), b[52] | (b[53] << 8));
  return 0;
}

int decryptTo(const std::string& in, const std::string& out) {
  std::string why;
  auto plain = readContainer(in, &why);
  if (!plain) return fail(why);
  if (!replaceFileAtomically(out, *plain)) return fail("cannot write " + out);
  return 0;
}

int encryptTo(const std::string& in, const std::string& out) {
  std::string why;
  auto plain = readSmallFile(in, settings_file::PLAIN_BLOCK_SIZE, &why);
  if (!plain) return fail(why);
  if (plain->empty()) return fail(in + " is empty; an empty settings file has no container");
  auto container = encryptContainer(*plain);
  if (!container) return fail("cannot encipher " + in);
  if (!replaceFileAtomically(out, *container)) return fail("cannot write " + out);
  return 0;
}

int set(int argc, char** argv) {
  if (argc < 3) return fail("set needs FILE and at least one of --version, --language");
  std::string path = argv[2];
  std::optional<settings_block::Version> version;
  std::optional<uint32_t> language;
  for (int i = 3; i < argc; ++i) {
    std::string option = argv[i];
    if (i + 1 >= argc) return fail(option + " needs a value");
    const char* value = argv[++i];
    if (option == "--version") {
      version = protocol::parseCanonicalVersion(value);
      if (!version) return fail("--version takes canonical A.B.C, not " + std::string(value)), 2;
    } else if (option == "--language") {
      uint32_t n = 0;
      if (!parseNumber(value, &n))
        return fail("--language takes a number, not " + std::string(value));
      language = n;
    } else {
      return fail("unknown option " + option);
    }
  }
  if (!version && !language) return fail("set needs --version or --language");
  std::string why;
  auto plain = readContainer(path, &why);
  if (!plain) return fail(why);
  if (plain->size() < settings_block::LANGUAGE + 4) return fail(path + " holds no settings block");
  settings_block::Block b = toBlock(*plain);
  if (version) settings_block::setVersion(b, *version);
  if (language) settings_block::putU32(b, settings_block::LANGUAGE, *language);
  std::memcpy(plain->data(), b.data(), std::min(plain->size(), b.size()));
  auto container = encryptContainer(*plain);
  if (!container) return fail("cannot encipher " + path);
  if (!replaceFileAtomically(path, *container)) return fail("cannot write " + path);
  return 0;
}

int run(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::string command = argv[1];
  if (command == "--help" || command == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "--version") {
    std::puts("kelvora-config 1.0.0");
    return 0;
  }
  if (command == "show" && argc == 3) return show(argv[2]);
  if (command == "decrypt" && argc == 4) return decryptTo(argv[2], argv[3]);
  if (command == "encrypt" && argc == 4) return encryptTo(argv[2], argv[3]);
  if (command == "set") return set(argc, argv);
  std::fputs(kUsage, stderr);
  return 2;
}
}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    return fail(e.what());
  }
}
