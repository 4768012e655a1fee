// The DLL's entry point: the library keeps no state, so no notification
// has anything to set up or tear down.
#include "platform/win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
