#include <windows.h>

#include "thread_priority.h"

namespace tool {

void lowerThisThread() {
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}

}  // namespace tool
