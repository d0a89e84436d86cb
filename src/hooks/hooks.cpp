// The library's whole boundary: the four hooks the suite installer calls by
// name. Each runs its operations one after the other, drops their results and
// returns 0. No C++ exception may cross into the installer's process: each
// operation runs under its own guard, so an allocation failure while it
// composes a path ends only that operation (its owners have released every
// handle on the way), and the operations after it still run.

#include <windows.h>

#include "postinstall/postinstall.h"
#include "preuninstall/preuninstall.h"

namespace {

template <typename Operation>
void runGuarded(Operation operation) noexcept {
    try {
        operation();
    } catch (...) {
    }
}

}  // namespace

extern "C" {

int WINAPI DllPostInstall(void* /*unused*/, void* /*unused*/, void* /*unused*/, void* /*unused*/) {
    runGuarded([] { installhooks::stampInstallDate(); });
    runGuarded([] { installhooks::deleteObsoleteDataFiles(); });
    runGuarded([] { installhooks::removeObsoleteSettings(); });
    runGuarded([] { installhooks::migrateSchedulerTasks(); });
    return 0;
}

int WINAPI DllCreateTasks(void* /*unused*/, void* /*unused*/, void* /*unused*/, void* /*unused*/) { return 0; }

int WINAPI DllPreUnInstall(void* /*unused*/, void* /*unused*/, void* /*unused*/, void* /*unused*/) {
    runGuarded([] { installhooks::removeShellIntegration(); });
    runGuarded([] { installhooks::sweepOfflineProfiles(); });
    return 0;
}

int WINAPI DllZudaUnInstall(void* /*unused*/) {
    runGuarded([] { installhooks::removeShellIntegration(); });
    runGuarded([] { installhooks::sweepOfflineProfiles(); });
    return 0;
}

BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD /*reason*/, LPVOID /*reserved*/) { return TRUE; }

}  // extern "C"
