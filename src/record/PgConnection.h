#pragma once
// A connection to a PostgreSQL server (libpq) that lets go of itself, and the few calls the
// shared record makes on it. Every wait is bounded: a connection or a statement gives up at its
// deadline, or as soon as giveUp says so, so that a server that does not answer never holds up
// a download.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct pg_conn;
struct pg_result;

struct PgConnCloser {
  void operator()(pg_conn* conn) const;
};
struct PgResultClearer {
  void operator()(pg_result* result) const;
};
using PgResult = std::unique_ptr<pg_result, PgResultClearer>;

// A statement's parameters: text, or NULL.
using PgParams = std::vector<std::optional<std::string>>;

class CPgConnection {
 public:
  using Clock = std::chrono::steady_clock;
  using GiveUp = std::function<bool()>;

  // url: a libpq connection string ("host=... dbname=...") or a postgresql:// URI. Null with
  // why (the server's own words where it gave some).
  static std::unique_ptr<CPgConnection> Connect(const std::string& url, Clock::time_point deadline, std::string& error,
                                                const GiveUp& giveUp = nullptr);

  // One statement with its parameters, never text built into it. Null with why; a result that
  // is not a success is an error too.
  PgResult Exec(const std::string& sql, const PgParams& params, Clock::time_point deadline, std::string& error,
                const GiveUp& giveUp = nullptr);
  // Statements without parameters (one or more, separated by semicolons).
  bool Run(const std::string& sql, Clock::time_point deadline, std::string& error, const GiveUp& giveUp = nullptr);

  // Whether the connection can still be used (a statement that timed out leaves it broken).
  bool Usable() const;
  pg_conn* Get() const { return m_conn.get(); }

 private:
  explicit CPgConnection(std::unique_ptr<pg_conn, PgConnCloser> conn) : m_conn(std::move(conn)) {}
  bool WaitSocket(bool forWrite, Clock::time_point deadline, const GiveUp& giveUp, std::string& error);
  std::unique_ptr<pg_conn, PgConnCloser> m_conn;
  bool m_broken = false;
};

// A result's text at row, column; empty for NULL.
std::string PgText(const pg_result* result, int row, int column);
bool PgIsNull(const pg_result* result, int row, int column);
int PgRows(const pg_result* result);
// How many rows an INSERT, UPDATE or DELETE touched.
int64_t PgAffected(pg_result* result);
// The URL without its password, for messages.
std::string PgUrlShown(const std::string& url);
