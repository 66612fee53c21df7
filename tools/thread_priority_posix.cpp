#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "thread_priority.h"

namespace tool {

void lowerThisThread() {
  // Linux gives each thread its own nice value, set through its thread id.
  const auto thread = static_cast<id_t>(syscall(SYS_gettid));
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, thread);
  if (errno == 0) setpriority(PRIO_PROCESS, thread, nice + 5);
}

}  // namespace tool
