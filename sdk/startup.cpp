// Load and unload notifications of the Windows DLL: the module does no work
// of its own here.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
