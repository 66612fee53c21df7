#include "platform/winthread.h"

// The static C++ runtime's emergency pool for exceptions, taken when the
// module is loaded and never given back by the runtime itself.
namespace __gnu_cxx {
void __freeres() noexcept;
}

// The module's own work at load and unload is nothing but turning off the
// per-thread attach and detach notifications. When a host unloads it (as
// opposed to the process ending), what the C++ runtime linked into it still
// holds is given back, so that a host may load it again and again.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) __gnu_cxx::__freeres();
  return TRUE;
}
