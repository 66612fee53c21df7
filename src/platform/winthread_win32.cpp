// On Windows the thread message service is Win32 itself; nothing to add.
#include "winthread.h"
