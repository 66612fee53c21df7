// The virtual bus library unloads with the module in a host that loads only
// the module: the bus and what the C++ runtime linked into the library still
// hold go back then, as the module's do, so that a host may reset the module
// again and again.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "bus.h"

namespace __gnu_cxx {
void __freeres() noexcept;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    sim::Bus::destroyAtUnload();
    __gnu_cxx::__freeres();
  }
  return TRUE;
}
