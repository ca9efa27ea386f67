// The library's entry point on this platform: Windows calls DllMain with the
// reasons that the library's entry point takes, under the same numbers.
#include "platform/windows/win32.h"

#include "api/entry.h"

static_assert(DLL_PROCESS_DETACH == dyadc::reasonProcessDetach &&
                  DLL_PROCESS_ATTACH == dyadc::reasonProcessAttach &&
                  DLL_THREAD_ATTACH == dyadc::reasonThreadAttach && DLL_THREAD_DETACH == dyadc::reasonThreadDetach,
              "DllMain's reasons are the entry point's");

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    dyadc::libraryEntry(module, reason, reserved);
    return TRUE;
}
