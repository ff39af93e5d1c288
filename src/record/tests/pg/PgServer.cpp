#include "PgServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "PgConnection.h"

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;

int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  ::close(fd);
  return port;
}

std::string BinFolder() {
  const char* given = std::getenv("TARVISEL_PG_BIN");
  return given && *given ? given : "/usr/lib/postgresql/15/bin";
}

}  // namespace

CPgServer* CPgServer::Shared(std::string& why) {
  // The binary's one server, whose destructor stops it at exit.
  static std::unique_ptr<CPgServer> server;
  static std::string failure;
  static bool tried = false;
  if (!tried) {
    tried = true;
    std::unique_ptr<CPgServer> s(new CPgServer);
    if (s->Init(failure)) server = std::move(s);
  }
  why = failure;
  return server.get();
}

bool CPgServer::Run(const std::string& what, const std::string& logName) const {
  // The shell only sees paths this fixture made (mkdtemp) and fixed words.
  const std::string as = m_asNobody ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  const std::string command = as + what + " >>'" + m_dir + "/" + logName + "' 2>&1";
  const int status = std::system(command.c_str());
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool CPgServer::Init(std::string& why) {
  m_bin = BinFolder();
  if (!fs::exists(m_bin + "/initdb") || !fs::exists(m_bin + "/pg_ctl")) {
    why = "PostgreSQL 15 is not installed (" + m_bin + "/initdb): scripts/deps --full installs postgresql-15";
    return false;
  }
  char tmpl[] = "/tmp/tarvisel-pg-XXXXXX";
  if (!mkdtemp(tmpl)) return why = "mkdtemp failed", false;
  m_dir = tmpl;
  m_asNobody = geteuid() == 0;
  if (m_asNobody && ::chown(m_dir.c_str(), kNobody, kNobody) != 0) return why = "chown of " + m_dir + " failed", false;
  {
    std::ofstream pw(m_dir + "/pw");
    pw << kPassword << "\n";
  }
  if (m_asNobody && ::chown((m_dir + "/pw").c_str(), kNobody, kNobody) != 0) return why = "chown failed", false;
  if (!Run("'" + m_bin + "/initdb' -D '" + m_dir + "/data' -U " + kUser + " --pwfile='" + m_dir +
               "/pw' --auth-local=trust --auth-host=scram-sha-256 -N --no-instructions -E UTF8 --locale=C",
           "initdb.log"))
    return why = "initdb failed: see " + m_dir + "/initdb.log", false;
  m_port = FreePort();
  if (!Start()) return why = "the server did not start: see " + m_dir + "/server.log", false;
  return true;
}

bool CPgServer::Start() {
  // Durability is no concern of a test's server: no fsync.
  m_running = Run("'" + m_bin + "/pg_ctl' -D '" + m_dir + "/data' -l '" + m_dir + "/server.log' -w -t 60 -o \"-k '" +
                      m_dir + "' -h 127.0.0.1 -p " + std::to_string(m_port) +
                      " -F -c synchronous_commit=off -c full_page_writes=off -c max_connections=80\" start",
                  "pg_ctl.log");
  return m_running;
}

bool CPgServer::Stop() {
  const bool ok = Run("'" + m_bin + "/pg_ctl' -D '" + m_dir + "/data' -w -t 60 -m fast stop", "pg_ctl.log");
  if (ok) m_running = false;
  return ok;
}

CPgServer::~CPgServer() {
  if (m_running) Run("'" + m_bin + "/pg_ctl' -D '" + m_dir + "/data' -w -t 30 -m immediate stop", "pg_ctl.log");
  std::error_code ec;
  if (!m_dir.empty() && !std::getenv("TARVISEL_PG_KEEP")) fs::remove_all(m_dir, ec);
}

std::string CPgServer::SocketUrl(const std::string& database) const {
  return "host=" + m_dir + " port=" + std::to_string(m_port) + " user=" + kUser + " dbname=" + database;
}

std::string CPgServer::TcpUrl(const std::string& database, const std::string& password) const {
  return "postgresql://" + std::string(kUser) + ":" + password + "@127.0.0.1:" + std::to_string(m_port) + "/" + database;
}

std::string CPgServer::NewDatabase() {
  const std::string name = "t" + std::to_string(getpid()) + "_" + std::to_string(++m_databases);
  std::string error;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  auto pg = CPgConnection::Connect(SocketUrl("postgres"), deadline, error);
  if (!pg || !pg->Run("CREATE DATABASE " + name, deadline, error)) return {};
  return SocketUrl(name);
}
