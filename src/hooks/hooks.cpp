// The library's whole boundary: the four hooks the suite installer calls by
// name. Each runs its operations one after the other, drops their results and
// returns 0. Nothing here can throw: the library is built without exceptions,
// and an operation that cannot compose a path (out of memory) returns early
// with every handle released, so the operations after it still run.

#include <windows.h>

#include "postinstall/postinstall.h"
#include "preuninstall/preuninstall.h"

extern "C" {

int WINAPI DllPostInstall(void* /*unused*/, void* /*unused*/, void* /*unused*/, void* /*unused*/) {
    installhooks::stampInstallDate();
    installhooks::deleteObsoleteDataFiles();
    installhooks::removeObsoleteSettings();
    installhooks::migrateSchedulerTasks();
    return 0;
}

int WINAPI DllCreateTasks(void* /*unused*/, void* /*unused*/, void* /*unused*/, void* /*unused*/) { return 0; }

int WINAPI DllPreUnInstall(void* /*unused*/, void* /*unused*/, void* /*unused*/, void* /*unused*/) {
    installhooks::removeShellIntegration();
    installhooks::sweepOfflineProfiles();
    return 0;
}

int WINAPI DllZudaUnInstall(void* /*unused*/) {
    installhooks::removeShellIntegration();
    installhooks::sweepOfflineProfiles();
    return 0;
}

// The DLL's entry point itself: no C runtime starts before it, so loading
// the library runs this and nothing else.
BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD /*reason*/, LPVOID /*reserved*/) { return TRUE; }

}  // extern "C"
