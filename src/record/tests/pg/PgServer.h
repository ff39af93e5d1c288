#pragma once
// A PostgreSQL 15 server of the tests' own (Debian's postgresql-15): initdb and pg_ctl in a
// temporary folder, run as nobody when the tests run as root (initdb refuses root), a Unix
// socket in that folder and a free port on 127.0.0.1 where a password is asked. One for each
// test binary, started by the first test that asks for it and stopped when the binary ends.
#include <string>

class CPgServer {
 public:
  // The binary's server, started on first use. Null, with why, when it cannot be (PostgreSQL is
  // not installed: scripts/deps --full installs it).
  static CPgServer* Shared(std::string& why);

  ~CPgServer();
  CPgServer(const CPgServer&) = delete;
  CPgServer& operator=(const CPgServer&) = delete;

  // A new, empty database for one test; its URL over the socket (no password asked there).
  std::string NewDatabase();
  std::string SocketUrl(const std::string& database) const;
  // The same database over TCP, where the superuser's password is asked.
  std::string TcpUrl(const std::string& database, const std::string& password) const;
  static constexpr const char* kUser = "tarvisel";
  static constexpr const char* kPassword = "line-secret";

  bool Stop();   // fast shutdown; connections are ended
  bool Start();  // again, on the same port
  int Port() const { return m_port; }

 private:
  CPgServer() = default;
  bool Init(std::string& why);
  bool Run(const std::string& what, const std::string& logName) const;
  std::string m_dir;
  std::string m_bin;
  int m_port = 0;
  bool m_asNobody = false;
  bool m_running = false;
  int m_databases = 0;
};
