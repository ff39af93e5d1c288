#include "Subprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

CChild::CChild(const std::vector<std::string>& argv, const std::string& dir, const std::string& tag)
    : m_outPath(dir + "/" + tag + ".out"), m_errPath(dir + "/" + tag + ".err") {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, m_outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, m_errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  if (posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ) != 0) m_pid = -1;
  posix_spawn_file_actions_destroy(&actions);
}

CChild::~CChild() {
  if (m_pid > 0 && !m_reaped) {
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
  }
}

int CChild::Wait(std::chrono::seconds bound) {
  if (m_pid <= 0 || m_reaped) return m_status;
  const auto until = std::chrono::steady_clock::now() + bound;
  int raw = 0;
  while (true) {
    const pid_t r = waitpid(m_pid, &raw, WNOHANG);
    if (r == m_pid) break;
    if (std::chrono::steady_clock::now() > until) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, &raw, 0);
      m_reaped = true;
      return m_status = -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  m_reaped = true;
  return m_status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

bool CChild::Running() {
  if (m_pid <= 0 || m_reaped) return false;
  int raw = 0;
  if (waitpid(m_pid, &raw, WNOHANG) != m_pid) return true;
  m_reaped = true;
  m_status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return false;
}

void CChild::Signal(int sig) {
  if (m_pid > 0 && !m_reaped) kill(m_pid, sig);
}

std::string CChild::Out() const { return ReadWholeFile(m_outPath); }
std::string CChild::Err() const { return ReadWholeFile(m_errPath); }

ProcessResult RunProgram(const std::vector<std::string>& argv, const std::string& dir, const std::string& tag,
                         std::chrono::seconds bound) {
  CChild child(argv, dir, tag);
  ProcessResult r;
  r.status = child.Wait(bound);
  r.out = child.Out();
  r.err = child.Err();
  return r;
}
