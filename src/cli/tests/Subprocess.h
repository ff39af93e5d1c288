#pragma once
// Runs the built programs as a user would: own standard streams (files), a bound on the time.
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

struct ProcessResult {
  int status = -1;  // exit status; -1 when it had to be killed or did not start
  std::string out;
  std::string err;
};

class CChild {
 public:
  // stdin is /dev/null; stdout and stderr go to files in dir.
  CChild(const std::vector<std::string>& argv, const std::string& dir, const std::string& tag);
  ~CChild();
  CChild(const CChild&) = delete;
  CChild& operator=(const CChild&) = delete;

  bool Started() const { return m_pid > 0; }
  // Waits up to the bound, then kills. The status as ProcessResult::status.
  int Wait(std::chrono::seconds bound);
  void Signal(int sig);
  // Whether it is still running (its status is kept for Wait once it has ended).
  bool Running();
  std::string Out() const;
  std::string Err() const;

 private:
  pid_t m_pid = -1;
  std::string m_outPath;
  std::string m_errPath;
  int m_status = -1;
  bool m_reaped = false;
};

// tag names the output files in dir.
ProcessResult RunProgram(const std::vector<std::string>& argv, const std::string& dir, const std::string& tag,
                         std::chrono::seconds bound = std::chrono::seconds(90));
std::string ReadWholeFile(const std::string& path);
