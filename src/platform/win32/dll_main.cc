// Attach hook of the Windows DLL: the library keeps no per-thread state, so it
// asks not to be told of thread attach and detach.  POSIX needs nothing.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}
