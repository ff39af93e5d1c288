#include "platform/ThreadPriority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace {
id_t CurrentTid() { return static_cast<id_t>(syscall(SYS_gettid)); }

bool Shift(int delta) {
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, CurrentTid());
  if (errno != 0) return false;
  return setpriority(PRIO_PROCESS, CurrentTid(), nice + delta) == 0;
}
}  // namespace

bool RaiseCurrentThreadPriority() { return Shift(-1); }

void RestoreCurrentThreadPriority(bool raised) {
  if (raised) Shift(+1);
}
