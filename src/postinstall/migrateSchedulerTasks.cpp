#include "postinstall/postinstall.h"

#include <windows.h>

#include <shlwapi.h>

#include "common/compose.h"
#include "common/unique_handle.h"
#include "common/wide.h"
#include "registry/RegistryKey.h"

namespace installhooks {
namespace {

// Both prefixes end in a backslash, so a task's path is the prefix followed
// directly by the task's name.
constexpr wchar_t kSuiteScheduler[] = L"Software\\Korvan\\ZHN\\Scheduler\\";
constexpr wchar_t kPlatformScheduler[] = L"Software\\Korvan\\Platform\\Scheduler\\";
// Case-sensitive: a name holding the marker only in capitals is no task.
constexpr wchar_t kTaskMarker[] = L"zwtask";
constexpr DWORD kNameUnits = 260;

}  // namespace

bool migrateSchedulerTasks() {
    // No view flag anywhere: every key is reached in the default view, which
    // on 64-bit Windows is the 32-bit one where the suite keeps its tasks.
    // The suite's scheduler key is held in a RegistryKey so that a moved task
    // can be deleted with its whole subtree: a plain key deletion refuses a
    // key with subkeys, and such a task would then be left in both schedulers
    // and copied again by every later install.
    RegistryKey scheduler;
    if (scheduler.openKey(HKEY_LOCAL_MACHINE, kSuiteScheduler, KEY_READ) != ERROR_SUCCESS) {
        return false;
    }

    bool lastCopySucceeded = false;
    DWORD index = 0;
    for (;;) {
        wchar_t name[kNameUnits];
        DWORD length = kNameUnits - 1;
        if (RegEnumKeyExW(scheduler.handle(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        if (!wideContains(name, kTaskMarker)) {
            ++index;
            continue;
        }

        const HeapString oldPath = composePath(L"%s%s", {kSuiteScheduler, name});
        if (oldPath.empty()) {
            break;
        }
        UniqueHKey oldTask;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, oldPath.get(), 0, KEY_READ, oldTask.put()) != ERROR_SUCCESS) {
            break;
        }

        // Creates the platform's scheduler key with the first task, and opens
        // a task key that an earlier run already created.
        const HeapString newPath = composePath(L"%s%s", {kPlatformScheduler, name});
        if (newPath.empty()) {
            break;
        }
        UniqueHKey newTask;
        DWORD disposition = 0;
        const LONG created = RegCreateKeyExW(HKEY_LOCAL_MACHINE, newPath.get(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                             KEY_ALL_ACCESS, nullptr, newTask.put(), &disposition);
        bool copied = false;
        if (created == ERROR_SUCCESS) {
            copied = SHCopyKeyW(oldTask.get(), nullptr, newTask.get(), 0) == ERROR_SUCCESS;
            lastCopySucceeded = copied;
            newTask.reset();
        }

        const bool deleted = copied && scheduler.deleteKeyTree(name) == ERROR_SUCCESS;
        oldTask.reset();

        if (created != ERROR_SUCCESS) {
            break;
        }
        // A deletion moves the next subkey into this index.
        if (!deleted) {
            ++index;
        }
    }
    return lastCopySucceeded;
}

}  // namespace installhooks
