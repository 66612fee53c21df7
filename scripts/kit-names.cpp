// Calls every kit function of the kit header once. scripts/check-binaries.sh
// compiles it for each platform's C++ ABI and reads the symbol names the
// compiler gives the calls: those the module must import.
#include "imaqkit.h"

void useEveryKitFunction() {
  imaqfree(imaqmalloc(1));
  adaptorError(nullptr, "", "");
  adaptorWarn("", "");
  createAutoCriticalSection(createCriticalSection(), false);
  createAdaptorManager(nullptr, nullptr);
  getCurrentTime();
}
