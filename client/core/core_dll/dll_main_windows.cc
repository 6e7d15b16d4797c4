// The DLL's entry point. Nothing here joins a thread or calls COM, the
// Windows Runtime or FFmpeg: it runs under the loader lock.
#include <windows.h>

#include "dll_exports.h"

namespace {
const char kThisModule = 0;  // an address inside this DLL
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH: {
      // Pinned: FreeLibrary never unmaps the code that capture, encoder and
      // log threads may still be running, and a detach always means the
      // process is ending.
      HMODULE self = nullptr;
      GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(&kThisModule), &self);
      break;
    }
    case DLL_PROCESS_DETACH:
      // The process is ending (ExitProcess, or a return from main) and has
      // already ended every other thread; a host that never called
      // Ostrel_GlobalShutdown leaves a running session behind, whose orderly
      // stop would wait for those threads' locks and handlers forever.
      ostrel::AbandonGlobalsAtProcessExit();
      break;
    default:
      break;
  }
  return TRUE;
}
