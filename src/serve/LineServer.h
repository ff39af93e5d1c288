#pragma once
// The line at a glance over HTTP: the page, its data as JSON under /api and the counters for
// Prometheus at /metrics, all read from one record. GET and HEAD only: no request changes
// anything.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "LineRecord.h"

struct ListenAddress {
  std::string host = "127.0.0.1";
  int port = 8330;
};

// "ADDRESS:PORT", "[ADDRESS]:PORT" or ":PORT" (loopback); a port of 0 takes a free one.
std::optional<ListenAddress> ParseListenAddress(const std::string& text);

class CLineServer {
 public:
  explicit CLineServer(std::unique_ptr<ILineRecord> record);
  ~CLineServer();
  CLineServer(const CLineServer&) = delete;
  CLineServer& operator=(const CLineServer&) = delete;

  // Reads the record's rows so far, before the first request waits on it. False with why.
  bool Load(std::string& error);
  // Binds; the port bound (the one chosen where 0 was asked), or -1.
  int Bind(const ListenAddress& address);
  // Answers until Stop (from another thread or a signal's watcher).
  void Run();
  void Stop();

  // One GET as the server would answer it: status, content type and body (for tests and the
  // benchmark, without a socket).
  struct Answer {
    int status = 200;
    std::string type, body;
  };
  Answer Get(const std::string& path);

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

// The page and what it loads, served as they are.
extern const char* const kPageHtml;
extern const char* const kPageCss;
extern const char* const kPageJs;
