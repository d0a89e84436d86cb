// A hook DLL whose DllZudaUnInstall fails the way a Windows Installer custom
// action fails: it returns ERROR_INSTALL_FAILURE (1603), on which the
// installer rolls the removal back. The other hooks do nothing and return 0,
// each removing its own arguments, so that only the removal fails.

#include <windows.h>

extern "C" {

int WINAPI DllPostInstall(void* /*unused*/, void* /*unused*/, void* /*unused*/, void* /*unused*/) { return 0; }

int WINAPI DllCreateTasks(void* /*unused*/, void* /*unused*/, void* /*unused*/, void* /*unused*/) { return 0; }

int WINAPI DllPreUnInstall(void* /*unused*/, void* /*unused*/, void* /*unused*/, void* /*unused*/) { return 0; }

int WINAPI DllZudaUnInstall(void* /*unused*/) { return static_cast<int>(ERROR_INSTALL_FAILURE); }

BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD /*reason*/, LPVOID /*reserved*/) { return TRUE; }

}  // extern "C"
