// A hook DLL with one fault: DllPostInstall is declared with one argument
// instead of four, so it removes 4 bytes from the caller's stack instead of 16.
// It stamps the install date like the real hook, so that the argument count is
// the only thing in which it fails the installer's contract.

#include <windows.h>

#include "postinstall/postinstall.h"

extern "C" {

int WINAPI DllPostInstall(void* /*unused*/) {
    installhooks::stampInstallDate();
    return 0;
}

int WINAPI DllCreateTasks(void* /*unused*/, void* /*unused*/, void* /*unused*/, void* /*unused*/) { return 0; }

int WINAPI DllPreUnInstall(void* /*unused*/, void* /*unused*/, void* /*unused*/, void* /*unused*/) { return 0; }

int WINAPI DllZudaUnInstall(void* /*unused*/) { return 0; }

BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD /*reason*/, LPVOID /*reserved*/) { return TRUE; }

}  // extern "C"
