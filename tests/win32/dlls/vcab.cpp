// Stand-in for the threat's injected library: what matters is its name in the
// module list of the process that loaded it.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
