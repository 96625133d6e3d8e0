// kelvora-devserver as the tests and the demo use it: started on free ports, driven with the curl
// command over signed requests (signed here with the openssl command, not with our own code),
// and with hand-built update messages over a raw TCP socket.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "support/test_support.h"
#include "updater/builtin_config.h"

namespace {

using namespace testsupport;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

const std::string kBucket = "update-en-1";

std::string fileText(const std::filesystem::path& path) {
  if (!std::filesystem::exists(path)) return {};
  Bytes b = readFile(path);
  return std::string(b.begin(), b.end());
}

// One running server on ports the system picked; stopped with SIGTERM, which must end it cleanly.
class DevServer {
 public:
  explicit DevServer(std::vector<std::string> args) {
    args.insert(args.begin(), {binPath("kelvora-devserver"), "--http-port", "0", "--update-port",
                               "0", "--root", (dir_ / "store").string()});
    std::filesystem::create_directories(dir_ / "store");
    child_ =
        std::make_unique<ChildProcess>(args, std::filesystem::path{}, dir_ / "out", dir_ / "err");
    // The first line, once whole: "kelvora-devserver: http=PORT update=PORT".
    waitFor(
        [&] {
          std::string out = fileText(dir_ / "out");
          char tail = 0;
          return out.find('\n') != std::string::npos &&
                 std::sscanf(out.c_str(), "kelvora-devserver: http=%d update=%d%c", &http, &update,
                             &tail) == 3 &&
                 tail == '\n';
        },
        10s);
  }
  ~DevServer() { stop(); }

  std::optional<int> stop() {
    child_->kill(SIGTERM);
    return child_->wait(10s);
  }
  std::filesystem::path store() const { return dir_ / "store"; }
  std::filesystem::path scratch(const std::string& name) const { return dir_ / name; }
  std::string output() const { return fileText(dir_ / "out"); }

  int http = 0;
  int update = 0;

 private:
  TempDir dir_;
  std::unique_ptr<ChildProcess> child_;
};

std::string httpDate(std::time_t when) {
  std::tm tm{};
  gmtime_r(&when, &tm);
  char text[64];
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &tm);
  return text;
}

std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Base64 of HMAC-SHA1, from the openssl command.
std::string opensslSignature(const DevServer& server, const std::string& secret,
                             const std::string& stringToSign) {
  auto file = server.scratch("string-to-sign");
  writeFile(file, stringToSign);
  auto r = runCommand("openssl dgst -sha1 -hmac " + shellQuote(secret) + " -binary " +
                      file.string() + " | base64");
  EXPECT_EQ(r.status, 0);
  while (!r.output.empty() && r.output.back() == '\n') r.output.pop_back();
  return r.output;
}

struct Answer {
  int curlStatus = -1;
  int httpStatus = 0;
  std::string headers;
  Bytes body;
  std::string writeOut;  // the -w values after the status
};

struct Get {
  std::string url{};       // after http://HOST:PORT
  std::string resource{};  // what is signed
  bool virtualHosted = false;
  std::string id = builtinConfig().accessKeyId;
  std::string secret = builtinConfig().accessKeySecret;
  std::time_t when = std::time(nullptr);
  std::vector<std::string> extraHeaders{};  // sent as they are
  std::string canonicalHeaders{};           // their signed lines
  bool sign = true;
  std::string method = "GET";
  std::string curlOptions{};
  std::string writeOut{};
};

Answer fetch(const DevServer& server, const Get& g) {
  const std::string date = httpDate(g.when);
  std::string cmd = "curl -s -o " + server.scratch("body").string() + " -D " +
                    server.scratch("headers").string() + " -w '%{http_code} " + g.writeOut + "' " +
                    g.curlOptions;
  if (g.method == "HEAD") cmd += " -I";
  cmd += " -H " + shellQuote("Date: " + date);
  for (const auto& h : g.extraHeaders) cmd += " -H " + shellQuote(h);
  if (g.sign) {
    std::string sts = g.method + "\n\n\n" + date + "\n" + g.canonicalHeaders + g.resource;
    cmd += " -H " +
           shellQuote("Authorization: OSS " + g.id + ":" + opensslSignature(server, g.secret, sts));
  }
  const std::string host = g.virtualHosted ? kBucket + ".localhost" : "127.0.0.1";
  cmd += " " + shellQuote("http://" + host + ":" + std::to_string(server.http) + g.url);
  std::filesystem::remove(server.scratch("body"));
  auto r = runCommand(cmd);
  Answer a;
  a.curlStatus = r.status;
  a.httpStatus = std::atoi(r.output.c_str());
  a.writeOut = r.output.substr(std::min(r.output.size(), r.output.find(' ') + 1));
  a.headers = fileText(server.scratch("headers"));
  if (std::filesystem::exists(server.scratch("body"))) a.body = readFile(server.scratch("body"));
  return a;
}

std::string element(const Bytes& xml, const std::string& name) {
  std::string text(xml.begin(), xml.end());
  size_t start = text.find("<" + name + ">");
  if (start == std::string::npos) return {};
  start += name.size() + 2;
  size_t end = text.find("</" + name + ">", start);
  return end == std::string::npos ? std::string() : text.substr(start, end - start);
}

std::string header(const std::string& headers, const std::string& name) {
  auto lower = [](std::string t) {
    for (auto& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return t;
  };
  const std::string all = lower(headers);
  size_t at = all.find("\n" + lower(name) + ": ");
  if (at == std::string::npos) return {};
  at += name.size() + 3;
  return headers.substr(at, headers.find_first_of("\r\n", at) - at);
}

Bytes randomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(gen());
  return b;
}

void putObject(const DevServer& s, const std::string& key, const Bytes& bytes) {
  auto path = s.store() / kBucket / key;
  std::filesystem::create_directories(path.parent_path());
  writeFile(path, bytes);
}

TEST(DevServerObjects, SignedGetServesTheFileInBothStyles) {
  DevServer s({});
  ASSERT_GT(s.http, 0);
  const Bytes object = randomBytes(3 << 20, 1);
  putObject(s, "3/11.0.BIN", object);
  // The URL carries the name encoded, the signature the name itself.
  const Bytes odd = randomBytes(1000, 2);
  putObject(s, "dir/a b+c.BIN", odd);

  Get path{.url = "/" + kBucket + "/3/11.0.BIN", .resource = "/" + kBucket + "/3/11.0.BIN"};
  Answer a = fetch(s, path);
  EXPECT_EQ(a.httpStatus, 200) << a.headers;
  EXPECT_EQ(a.body, object);
  const std::string firstId = header(a.headers, "x-oss-request-id");
  EXPECT_FALSE(firstId.empty());

  Get hosted{.url = "/3/11.0.BIN", .resource = path.resource, .virtualHosted = true};
  a = fetch(s, hosted);
  EXPECT_EQ(a.httpStatus, 200) << a.headers;
  EXPECT_EQ(a.body, object);
  EXPECT_NE(header(a.headers, "x-oss-request-id"), firstId);

  // The same virtual host given only in the Host header, the connection going to 127.0.0.1.
  Get byHeader = path;
  byHeader.url = "/3/11.0.BIN";
  byHeader.extraHeaders = {"Host: " + kBucket + ".localhost:" + std::to_string(s.http)};
  EXPECT_EQ(fetch(s, byHeader).body, object);

  Get encoded{.url = "/dir/a%20b%2Bc.BIN",
              .resource = "/" + kBucket + "/dir/a b+c.BIN",
              .virtualHosted = true};
  a = fetch(s, encoded);
  EXPECT_EQ(a.httpStatus, 200) << std::string(a.body.begin(), a.body.end());
  EXPECT_EQ(a.body, odd);

  Get head = path;
  head.method = "HEAD";
  head.writeOut = "%{size_download}";
  a = fetch(s, head);
  EXPECT_EQ(a.httpStatus, 200);
  EXPECT_EQ(header(a.headers, "Content-Length"), std::to_string(object.size()));
  EXPECT_EQ(a.writeOut, "0");
  EXPECT_EQ(s.stop(), 0);
}

TEST(DevServerObjects, SignatureCoversOssHeadersAndSubResources) {
  DevServer s({});
  ASSERT_GT(s.http, 0);
  putObject(s, "k", {'o', 'k'});
  const std::string resource = "/" + kBucket + "/k";
  // x-oss- headers are signed in lower case, trimmed, in natural order (2 before 10); only the
  // listed sub-resources of the query take part.
  Get g{.url = "/k?max-keys=3&response-content-type=text/plain&acl",
        .resource = resource + "?acl&response-content-type=text/plain",
        .virtualHosted = true,
        .extraHeaders = {"X-OSS-Meta-10: ten", "x-oss-meta-2:   two  ", "Content-Length: 0"},
        .canonicalHeaders = "x-oss-meta-2:two\nx-oss-meta-10:ten\n"};
  Answer a = fetch(s, g);
  EXPECT_EQ(a.httpStatus, 200) << element(a.body, "StringToSign");

  Get unsignedHeader = g;
  unsignedHeader.canonicalHeaders = "x-oss-meta-10:ten\n";
  a = fetch(s, unsignedHeader);
  EXPECT_EQ(a.httpStatus, 403);
  EXPECT_EQ(element(a.body, "Code"), "SignatureDoesNotMatch");
  // The server shows what it signed, so a client's fault can be seen at once.
  EXPECT_NE(element(a.body, "StringToSign").find("x-oss-meta-2:two\nx-oss-meta-10:ten\n"),
            std::string::npos);

  Get unsignedParam = g;
  unsignedParam.resource = resource + "?response-content-type=text/plain";
  EXPECT_EQ(fetch(s, unsignedParam).httpStatus, 403);
}

TEST(DevServerObjects, RefusalsAreXmlErrorsWithTheRequestId) {
  DevServer s({});
  ASSERT_GT(s.http, 0);
  putObject(s, "present", {'x'});
  const std::string resource = "/" + kBucket + "/present";
  Get good{.url = "/present", .resource = resource, .virtualHosted = true};

  struct Case {
    const char* what;
    Get get;
    int status;
    const char* code;
  };
  Get wrongSecret = good;
  wrongSecret.secret += "x";
  Get unknownId = good;
  unknownId.id = "NotOurKeyId";
  Get lateDate = good;
  lateDate.when -= 16 * 60;
  Get earlyDate = good;
  earlyDate.when += 16 * 60;
  Get unsignedGet = good;
  unsignedGet.sign = false;
  Get missing{.url = "/absent", .resource = "/" + kBucket + "/absent", .virtualHosted = true};
  Get noBucket{.url = "/nobucket/present", .resource = "/nobucket/present"};
  Get escape{.url = "/" + kBucket + "/../" + kBucket + "/present",
             .resource = "/" + kBucket + "/../" + kBucket + "/present",
             .curlOptions = "--path-as-is"};
  Get put = good;
  put.method = "PUT";
  put.curlOptions = "-X PUT --data-binary '' -H 'Content-Type:'";
  const std::vector<Case> cases = {
      {"wrong secret", wrongSecret, 403, "SignatureDoesNotMatch"},
      {"unknown key id", unknownId, 403, "InvalidAccessKeyId"},
      {"date 16 minutes late", lateDate, 403, "RequestTimeTooSkewed"},
      {"date 16 minutes early", earlyDate, 403, "RequestTimeTooSkewed"},
      {"no Authorization", unsignedGet, 403, "AccessDenied"},
      {"missing key", missing, 404, "NoSuchKey"},
      {"missing bucket", noBucket, 404, "NoSuchBucket"},
      {"dot-dot in the key", escape, 400, "InvalidObjectName"},
      {"PUT", put, 405, "MethodNotAllowed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Answer a = fetch(s, c.get);
    EXPECT_EQ(a.httpStatus, c.status);
    EXPECT_EQ(element(a.body, "Code"), c.code);
    EXPECT_FALSE(element(a.body, "Message").empty());
    const std::string id = header(a.headers, "x-oss-request-id");
    EXPECT_FALSE(id.empty());
    EXPECT_EQ(element(a.body, "RequestId"), id);
  }

  // Fourteen minutes either way is still within the allowed skew.
  for (long minutes : {-14, 14}) {
    Get near = good;
    near.when += minutes * 60;
    EXPECT_EQ(fetch(s, near).httpStatus, 200) << minutes;
  }
}

TEST(DevServerObjects, FaultSwitchesShapeTheBody) {
  const Bytes object = randomBytes(400000, 3);
  const Get g{.url = "/o",
              .resource = "/" + kBucket + "/o",
              .virtualHosted = true,
              .writeOut = "%{size_download} %{time_total} %{time_starttransfer}"};
  auto measured = [](const Answer& a, double* size, double* total, double* first) {
    std::sscanf(a.writeOut.c_str(), "%lf %lf %lf", size, total, first);
  };
  double size = 0, total = 0, first = 0;
  {
    DevServer s({"--cut-short", "1000"});
    ASSERT_GT(s.http, 0);
    putObject(s, "o", object);
    Answer a = fetch(s, g);
    EXPECT_EQ(a.curlStatus, 18);  // curl: "Partial file"
    EXPECT_EQ(header(a.headers, "Content-Length"), std::to_string(object.size()));
    measured(a, &size, &total, &first);
    EXPECT_EQ(size, object.size() - 1000);
    ASSERT_EQ(a.body.size(), object.size() - 1000);
    EXPECT_TRUE(std::equal(a.body.begin(), a.body.end(), object.begin()));
  }
  {
    DevServer s({"--throttle", "200000"});
    ASSERT_GT(s.http, 0);
    putObject(s, "o", object);
    Answer a = fetch(s, g);
    EXPECT_EQ(a.body, object);
    measured(a, &size, &total, &first);
    EXPECT_GE(total, 1.8);  // 400 kB at 200 kB/s
    EXPECT_LT(total, 4.0);
  }
  {
    DevServer s({"--first-byte-delay", "700"});
    ASSERT_GT(s.http, 0);
    putObject(s, "o", object);
    Answer a = fetch(s, g);
    EXPECT_EQ(a.body, object);
    measured(a, &size, &total, &first);
    EXPECT_GE(first, 0.7);
  }
}

TEST(DevServerAddressPage, ShowsTheAddressInEitherCharset) {
  std::string pages[2];
  for (int i = 0; i < 2; ++i) {
    const std::string charset = i == 0 ? "utf-8" : "gbk";
    DevServer s({"--address", "203.0.113.7", "--address-charset", charset});
    ASSERT_GT(s.http, 0);
    Get g{.url = "/ip", .sign = false};
    Answer a = fetch(s, g);
    EXPECT_EQ(a.httpStatus, 200);
    EXPECT_EQ(header(a.headers, "Content-Type"), "text/html; charset=" + charset);
    pages[i] = std::string(a.body.begin(), a.body.end());
    EXPECT_NE(pages[i].find("<dd class=\"fz24\">203.0.113.7</dd>"), std::string::npos);
    EXPECT_NE(pages[i].find("charset=" + charset), std::string::npos);
    const std::string other = i == 0 ? "charset=gbk" : "charset=utf-8";
    EXPECT_EQ(pages[i].find(other), std::string::npos);
  }
  // The GBK page is the UTF-8 page in the other encoding, Chinese text included.
  std::string fromGbk = platform::gbkToUtf8(pages[1]);
  fromGbk.replace(fromGbk.find("charset=gbk"), 11, "charset=utf-8");
  EXPECT_EQ(fromGbk, pages[0]);
  EXPECT_NE(pages[0], platform::utf8ToGbk(pages[0]));  // the page holds non-ASCII text
}

// A raw client of the update port.
class UpdateClient {
 public:
  explicit UpdateClient(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~UpdateClient() { close(fd_); }
  bool connected() const { return connected_; }
  void send(const Bytes& b) {
    ASSERT_EQ(::send(fd_, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size()));
  }
  // Reads until n bytes came, the peer closed, or quiet passed without a byte.
  Bytes receive(size_t n, std::chrono::milliseconds quiet, int* reads = nullptr) {
    Bytes out;
    while (out.size() < n) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(quiet.count())) <= 0) break;
      uint8_t buf[65536];
      ssize_t got = recv(fd_, buf, std::min(sizeof buf, n - out.size()), 0);
      if (got <= 0) break;
      if (reads) ++*reads;
      out.insert(out.end(), buf, buf + got);
    }
    return out;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

Bytes hello() {
  Bytes h = {0x00, 0x20};
  Bytes r(164, 0);
  auto u32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) r[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  u32(0, 1);
  u32(4, 8);
  u32(8, 2904);
  u32(12, 15872);
  std::string address = "198.51.100.23", vendor = "GenuineIntel";
  std::copy(address.begin(), address.end(), r.begin() + 20);
  std::copy(vendor.begin(), vendor.end(), r.begin() + 36);
  r[100] = 2;
  h.insert(h.end(), r.begin(), r.end());
  EXPECT_EQ(h.size(), 166u);
  return h;
}

const Bytes kKeepAlive = {0x04, 0x10};
// Version 3.11.0 with size 1000, byte for byte.
const Bytes kVersion3110 = {0x01, 0x20, 0x03, 0x00, 0x00, 0x00, 0x0B, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0xE8, 0x03, 0x00, 0x00};

TEST(DevServerUpdate, AnswersEachHelloAndPrintsTheReport) {
  DevServer s({"--announce", "3.11.0", "--size", "1000"});
  ASSERT_GT(s.update, 0);
  UpdateClient c(s.update);
  ASSERT_TRUE(c.connected());
  // Keep-alives and an unknown type before the hello are skipped without an answer.
  c.send(kKeepAlive);
  c.send({0x00, 0x30});
  EXPECT_TRUE(c.receive(1, 200ms).empty());
  c.send(hello());
  c.send(kKeepAlive);
  EXPECT_EQ(c.receive(64, 300ms), kVersion3110);

  ASSERT_TRUE(
      waitFor([&] { return s.output().find("\"event\":\"report\"") != std::string::npos; }, 5s));
  const std::string out = s.output();
  for (const char* field :
       {"\"packageCount\":1,", "\"logicalProcessors\":8,", "\"cpuMhz\":2904,",
        "\"memoryMb\":15872,", "\"publicAddress\":\"198.51.100.23\"",
        "\"cpuVendor\":\"GenuineIntel\"", "\"byte100\":2,", "\"layoutOk\":true"})
    EXPECT_NE(out.find(field), std::string::npos) << field << "\n" << out;

  // A second hello on the same connection, and one from a second client held open at once.
  UpdateClient other(s.update);
  ASSERT_TRUE(other.connected());
  Bytes bad = hello();
  bad[2 + 101] = 7;  // a byte that must be zero
  other.send(bad);
  c.send(hello());
  EXPECT_EQ(other.receive(64, 300ms), kVersion3110);
  EXPECT_EQ(c.receive(64, 300ms), kVersion3110);
  ASSERT_TRUE(
      waitFor([&] { return s.output().find("\"layoutOk\":false") != std::string::npos; }, 5s));
  EXPECT_EQ(s.stop(), 0);
}

TEST(DevServerUpdate, DribbleSilentAndDisconnect) {
  {
    DevServer s({"--announce", "3.11.0", "--size", "1000", "--dribble", "--dribble-delay", "20"});
    UpdateClient c(s.update);
    ASSERT_TRUE(c.connected());
    c.send(hello());
    int reads = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.receive(18, 1000ms, &reads), kVersion3110);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 17 * 20ms);
    EXPECT_GE(reads, 10);  // it arrived in pieces
  }
  {
    DevServer s({"--silent"});
    UpdateClient c(s.update);
    ASSERT_TRUE(c.connected());
    c.send(hello());
    EXPECT_TRUE(c.receive(1, 700ms).empty());
    EXPECT_NE(s.output().find("\"event\":\"report\""), std::string::npos);
  }
  {
    DevServer s({"--announce", "1.2.3", "--disconnect"});
    UpdateClient c(s.update);
    ASSERT_TRUE(c.connected());
    c.send(hello());
    Bytes got = c.receive(1000, 500ms);
    ASSERT_GE(got.size(), 22u);
    EXPECT_EQ(got[0], 0x01);
    EXPECT_EQ(got[2], 1);
    EXPECT_EQ(got[6], 2);
    EXPECT_EQ(got[10], 3);
    EXPECT_EQ(got[18], 0x10);
    EXPECT_EQ(got[19], 0x20);
    EXPECT_EQ(got.size(), 22u + (got[20] | (got[21] << 8)));
  }
}

// Walks pushed messages; gives the file, and fails if a data chunk completes the total before
// the end message (the client would finish the file twice).
Bytes parsePush(const Bytes& m, size_t* dataMessages) {
  auto u32 = [&](size_t at) {
    return uint32_t(m[at]) | uint32_t(m[at + 1]) << 8 | uint32_t(m[at + 2]) << 16 |
           uint32_t(m[at + 3]) << 24;
  };
  Bytes file;
  *dataMessages = 0;
  EXPECT_GE(m.size(), 6u);
  if (m.size() < 6 || m[0] != 0x16 || m[1] != 0x10) return {};
  const uint32_t total = u32(2);
  size_t at = 6;
  while (at + 6 <= m.size()) {
    uint16_t type = uint16_t(m[at] | m[at + 1] << 8);
    uint32_t n = u32(at + 2);
    EXPECT_LE(n, 8192u);
    if (at + 6 + n > m.size()) break;
    file.insert(file.end(), m.begin() + at + 6, m.begin() + at + 6 + n);
    at += 6 + n;
    if (type == 0x1018) {
      EXPECT_EQ(at, m.size());
      EXPECT_EQ(file.size(), total);
      return file;
    }
    EXPECT_EQ(type, 0x1017);
    EXPECT_LT(file.size(), total) << "a data chunk completed the file";
    ++*dataMessages;
  }
  ADD_FAILURE() << "no end message";
  return file;
}

TEST(DevServerUpdate, PushesAFileInChunks) {
  for (size_t size : {size_t{20000}, size_t{16384}, size_t{100}, size_t{0}}) {
    SCOPED_TRACE(size);
    TempDir dir;
    const Bytes file = randomBytes(size, static_cast<unsigned>(size));
    writeFile(dir / "pushed.exe", file);
    DevServer s({"--push", (dir / "pushed.exe").string()});
    ASSERT_GT(s.update, 0);
    UpdateClient c(s.update);
    ASSERT_TRUE(c.connected());
    c.send(hello());
    size_t dataMessages = 0;
    EXPECT_EQ(parsePush(c.receive(1 << 20, 500ms), &dataMessages), file);
    EXPECT_EQ(dataMessages, size == 0 ? 0 : (size - 1) / 8192);
  }
}

TEST(DevServerProcess, CommandLineAndCleanStop) {
  auto help = runCommand(binPath("kelvora-devserver") + " --help");
  EXPECT_EQ(help.status, 0);
  for (const char* flag :
       {"--http-port", "--update-port", "--root", "--id", "--secret", "--throttle", "--cut-short",
        "--first-byte-delay", "--address", "--address-charset", "--announce", "--size", "--push",
        "--silent", "--dribble", "--disconnect", "--version"})
    EXPECT_NE(help.output.find(flag), std::string::npos) << flag;
  EXPECT_EQ(runCommand(binPath("kelvora-devserver") + " --version").status, 0);
  for (const char* bad : {"--frobnicate", "--announce 3.11", "--http-port 70000",
                          "--address-charset latin1", "--throttle 0", "--push /nonexistent/x"})
    EXPECT_NE(runCommand(binPath("kelvora-devserver") + " --http-port 0 --update-port 0 " + bad +
                         " 2>/dev/null")
                  .status,
              0)
        << bad;

  // A stop with a client connected and a slow transfer in flight still ends at once, cleanly.
  DevServer s({"--throttle", "1000"});
  ASSERT_GT(s.http, 0);
  putObject(s, "slow", randomBytes(100000, 4));
  UpdateClient idle(s.update);
  ASSERT_TRUE(idle.connected());
  const std::string date = httpDate(std::time(nullptr));
  const std::string sig = opensslSignature(s, builtinConfig().accessKeySecret,
                                           "GET\n\n\n" + date + "\n/" + kBucket + "/slow");
  ChildProcess curl({"/usr/bin/curl", "-s", "-o", "/dev/null", "-H", "Date: " + date, "-H",
                     "Authorization: OSS " + std::string(builtinConfig().accessKeyId) + ":" + sig,
                     "http://127.0.0.1:" + std::to_string(s.http) + "/" + kBucket + "/slow"});
  std::this_thread::sleep_for(500ms);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(s.stop(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_TRUE(curl.wait(5s).has_value());
}

}  // namespace
