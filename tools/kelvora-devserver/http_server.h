// The HTTP port: signed GET, HEAD and PUT of objects under the root directory, in virtual-hosted
// (Host: bucket.localhost:PORT) and path (/bucket/object) style, and the address page at /ip.
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/kelvora-devserver/options.h"
#include "tools/kelvora-devserver/request_signature.h"
#include "tools/kelvora-devserver/signature_objects.h"
#include "tools/kelvora-devserver/stop_signal.h"

namespace httplib {
class Server;
class ContentReader;
struct Request;
struct Response;
}  // namespace httplib

namespace devserver {

class HttpServer {
 public:
  HttpServer(const Options& options, StopSignal& stop);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds 127.0.0.1 on the configured port and opens the request log; gives the port bound, or
  // -1 (with the reason on standard error when it is the log).
  int bind();
  bool start();  // serves on its own thread; false when the listener does not come up
  void stop();   // stops serving and joins the thread; transfers in flight are cut
  // Objects that have no file of their own: the publisher signatures made here.
  void serveSignatures(const SignatureObjects* signatures) { signatures_ = signatures; }

 private:
  KeyPair readKeys() const { return {options_.accessKeyId, options_.accessKeySecret}; }
  KeyPair putKeys() const { return {options_.putAccessKeyId, options_.putAccessKeySecret}; }
  // A PUT: checked as a GET is, but against the write pair, then its body streamed to a
  // temporary file and renamed into place once whole and matching its Content-MD5.
  void putObject(const httplib::Request& req, httplib::Response& res,
                 const httplib::ContentReader& reader);
  void logRequest(const httplib::Request& req, const httplib::Response& res);

  const Options& options_;
  StopSignal& stop_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  const SignatureObjects* signatures_ = nullptr;
  std::FILE* requestLog_ = nullptr;
  std::mutex requestLogMutex_;
};

}  // namespace devserver
