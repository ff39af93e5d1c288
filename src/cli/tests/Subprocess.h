#pragma once
// Runs the built programs as a user would: own standard streams (files), a bound on the time.
#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

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

// A program whose standard output goes into a pipe of one page that the test reads only when
// it chooses (a reader that stopped reading); standard error to a file, standard input /dev/null.
class CPipedChild {
 public:
  CPipedChild(const std::vector<std::string>& argv, const std::string& errPath) : m_errPath(errPath) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    fcntl(fds[1], F_SETPIPE_SZ, 4096);
    m_pid = fork();
    if (m_pid == 0) {
      const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int in = ::open("/dev/null", O_RDONLY);
      dup2(in, 0);
      dup2(fds[1], 1);
      dup2(err, 2);
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(fds[1]);
    m_out = fds[0];
  }
  ~CPipedChild() {
    if (m_pid > 0 && !m_reaped) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
    if (m_out >= 0) close(m_out);
  }
  std::string Err() const { return ReadWholeFile(m_errPath); }
  bool WaitForErr(const std::string& text, std::chrono::seconds bound) const {
    for (const auto until = std::chrono::steady_clock::now() + bound; std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(std::chrono::milliseconds(20)))
      if (Err().find(text) != std::string::npos) return true;
    return false;
  }
  bool Running() {
    int status = 0;
    if (m_reaped || waitpid(m_pid, &status, WNOHANG) == 0) return !m_reaped;
    m_reaped = true;
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    return false;
  }
  void Signal(int sig) { kill(m_pid, sig); }
  // The reader comes back: all there is, to the end of the stream.
  std::string ReadAll() {
    std::string text;
    char buf[65536];
    for (ssize_t n; (n = read(m_out, buf, sizeof buf)) != 0;) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      text.append(buf, static_cast<size_t>(n));
    }
    return text;
  }
  // The exit status, 1000 + the signal that ended it, or -1 when it did not end within the bound.
  int Wait(std::chrono::seconds bound) {
    for (const auto until = std::chrono::steady_clock::now() + bound; Running() && std::chrono::steady_clock::now() < until;)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return m_reaped ? m_status : -1;
  }

 private:
  std::string m_errPath;
  pid_t m_pid = -1;
  int m_out = -1;
  bool m_reaped = false;
  int m_status = -1;
};
