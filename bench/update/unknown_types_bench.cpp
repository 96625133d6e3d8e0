// The receive side over a stream of unknown two-byte message types, as a server that sends
// nothing else would: the conversation's own reader against its peer, one recv per type (how
// the reader worked before it was buffered). Both read the same stream over a loopback socket
// pair; each line gives the wall and processor time of one reader.
// usage: unknown_types_bench [MIB]   (default 32); no fixed port, no lock needed.
//   cmake -S . -B build/rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVORA_BUILD_BENCH=ON
//   cmake --build build/rel --target unknown_types_bench && build/rel/bin/unknown_types_bench 32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "updater/update_conversation.h"

namespace {

using namespace update_conversation;

// Writes `bytes` of type 0x3000 and then a version answer for 0.0.1 into fd.
std::thread serve(int fd, size_t bytes) {
  return std::thread([fd, bytes] {
    std::vector<uint8_t> block(1 << 16);
    for (size_t i = 0; i < block.size(); i += 2) block[i] = 0x00, block[i + 1] = 0x30;
    for (size_t done = 0; done < bytes; done += block.size())
      if (sendAll(fd, block.data(), block.size()) != 0) return;
    uint8_t answer[18] = {0x01, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    sendAll(fd, answer, sizeof answer);
  });
}

// Processor time of the whole process: the reader and the bench's own sending side alike.
double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A listener on a loopback port of the system's choosing; gives its port.
int listenLoopback(uint16_t* port) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 1) != 0)
    std::exit(1);
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length);
  *port = ntohs(a.sin_port);
  return listener;
}

// The peer: one two-byte recv per message type.
class OneRecvPerRead : public ByteSource {
 public:
  explicit OneRecvPerRead(int fd) : fd_(fd) {}
  int readExact(uint8_t* out, size_t n) override {
    for (size_t got = 0; got < n;) {
      ssize_t r = ::recv(fd_, out + got, n - got, 0);
      if (r <= 0) return -1;
      got += size_t(r);
    }
    return 0;
  }

 private:
  int fd_;
};

struct NoPush : PushSink {
  bool begin(uint32_t) override { return false; }
  bool write(std::span<const uint8_t>) override { return false; }
  void abandon() override {}
  void finish() override {}
};

void report(const char* name, size_t bytes, std::chrono::steady_clock::time_point start,
            double cpu) {
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%-28s %4zu MiB  wall %7.3f s  cpu %7.3f s\n", name, bytes >> 20, wall, cpu);
}

}  // namespace

int main(int argc, char** argv) {
  size_t bytes = size_t(argc > 1 ? std::atoi(argv[1]) : 32) << 20;
  {  // The peer, over TCP loopback.
    uint16_t port = 0;
    int listener = listenLoopback(&port);
    int reader = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(reader, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 1;
    int writer = accept(listener, nullptr, nullptr);
    AppState state;
    NoPush sink;
    OneRecvPerRead source(reader);
    auto start = std::chrono::steady_clock::now();
    double cpu = cpuSeconds();
    std::thread server = serve(writer, bytes);
    receiveMessages(source, sink, state);
    server.join();
    report("one recv per type (peer)", bytes, start, cpuSeconds() - cpu);
    close(reader);
    close(writer);
    close(listener);
  }
  {  // The conversation's reader, through its own threads.
    uint16_t port = 0;
    int listener = listenLoopback(&port);
    AppState state;
    NoPush sink;
    ConversationOptions options;
    options.host = "127.0.0.1";
    options.port = port;
    options.announcePauseMs = 0;
    UpdateConversation conversation(state, options, sink);
    conversation.start();
    int client = accept(listener, nullptr, nullptr);
    std::vector<uint8_t> hello(HELLO_SIZE);
    recv(client, hello.data(), hello.size(), MSG_WAITALL);
    auto start = std::chrono::steady_clock::now();
    double cpu = cpuSeconds();
    std::thread server = serve(client, bytes);
    while (state.updateState == UPDATE_WAITING)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server.join();
    report("conversation's reader", bytes, start, cpuSeconds() - cpu);
    conversation.stop();
    close(client);
    close(listener);
  }
  return 0;
}
