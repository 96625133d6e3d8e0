// kelvora-devserver: the local object store, public-address page and update server on 127.0.0.1
// that the tests and the demo run the updater against.
#include <signal.h>

#include <cstdio>
#include <string>

#include "tools/kelvora-devserver/http_server.h"
#include "tools/kelvora-devserver/options.h"
#include "tools/kelvora-devserver/output.h"
#include "tools/kelvora-devserver/stop_signal.h"
#include "tools/kelvora-devserver/update_server.h"

using namespace devserver;

int main(int argc, char** argv) {
  Options options;
  std::string error;
  switch (parseOptions(argc, argv, &options, &error)) {
    case ParseOutcome::kHelp:
      std::fputs(kUsage, stdout);
      return 0;
    case ParseOutcome::kVersion:
      std::printf("kelvora-devserver %s\n", KELVORA_VERSION_TEXT);
      return 0;
    case ParseOutcome::kError:
      std::fprintf(stderr, "kelvora-devserver: %s\n", error.c_str());
      return 2;
    case ParseOutcome::kRun:
      break;
  }

  // The stop signals are taken by sigwait on the main thread only: block them before any thread
  // exists, so every thread inherits the mask. A peer that closes early must not kill us.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  SignatureObjects signatures;
  if (!signatures.load(options, &error)) {
    std::fprintf(stderr, "kelvora-devserver: %s\n", error.c_str());
    return 2;
  }
  StopSignal stop;
  HttpServer http(options, stop);
  http.serveSignatures(&signatures);
  UpdateServer update(options, stop);
  const int httpPort = http.bind();
  if (httpPort <= 0) {
    std::fprintf(stderr, "kelvora-devserver: cannot listen on 127.0.0.1:%d for HTTP\n",
                 options.httpPort);
    return 1;
  }
  const int updatePort = update.bind(&error);
  if (updatePort <= 0) {
    std::fprintf(stderr, "kelvora-devserver: %s\n", error.c_str());
    return 1;
  }
  if (!http.start()) {
    std::fprintf(stderr, "kelvora-devserver: the HTTP listener did not start\n");
    return 1;
  }
  update.start();
  printLine("kelvora-devserver: http=" + std::to_string(httpPort) +
            " update=" + std::to_string(updatePort));

  int received = 0;
  sigwait(&stopSignals, &received);
  std::fprintf(stderr, "kelvora-devserver: stopping on signal %d\n", received);
  stop.set();
  update.stop();
  http.stop();
  return 0;
}
