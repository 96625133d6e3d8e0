// The HTTP port: signed GET and HEAD of objects under the root directory, in virtual-hosted
// (Host: bucket.localhost:PORT) and path (/bucket/object) style, and the address page at /ip.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "tools/kelvora-devserver/options.h"
#include "tools/kelvora-devserver/signature_objects.h"
#include "tools/kelvora-devserver/stop_signal.h"

namespace httplib {
class Server;
}

namespace devserver {

class HttpServer {
 public:
  HttpServer(const Options& options, StopSignal& stop);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds 127.0.0.1 on the configured port; gives the port bound, or -1.
  int bind();
  bool start();  // serves on its own thread; false when the listener does not come up
  void stop();   // stops serving and joins the thread; transfers in flight are cut
  // Objects that have no file of their own: the publisher signatures made here.
  void serveSignatures(const SignatureObjects* signatures) { signatures_ = signatures; }

 private:
  const Options& options_;
  StopSignal& stop_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  const SignatureObjects* signatures_ = nullptr;
};

}  // namespace devserver
