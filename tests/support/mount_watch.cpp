#include "support/mount_watch.h"

#include "machine/hives.h"
#include "machine/machine.h"
#include "support/platform.h"

namespace testing_support {

namespace {
MountWatch* g_watch = nullptr;
}  // namespace

struct MountWatchHooks {
    using Load = LONG(WINAPI*)(HKEY, LPCWSTR, LPCWSTR);
    using Unload = LONG(WINAPI*)(HKEY, LPCWSTR);

    static LONG WINAPI regLoadKeyW(HKEY root, LPCWSTR name, LPCWSTR file) {
        MountWatch& watch = *g_watch;
        const bool occupied = root == HKEY_USERS && machine::hiveLoaded(name);
        const LONG status = watch.load_.originalAs<Load>()(root, name, file);
        MountEvent event;
        event.load = true;
        event.target = file;
        event.status = status;
        // Wine fails the load of a file that is no hive (empty, garbage, a
        // folder) but leaves an empty hive mounted at the name, which
        // Windows never does; taken away here, as Windows would have left
        // the name free.
        if (status != ERROR_SUCCESS && !occupied && root == HKEY_USERS && machine::hiveLoaded(name)) {
            event.leftoverUnmounted = machine::unloadHive(name);
        }
        if (status == ERROR_SUCCESS && root == HKEY_USERS) {
            event.content = machine::dumpTree(HKEY_USERS, name);
            watch.mountedFile_ = file;
        }
        watch.events_.push_back(std::move(event));
        return status;
    }

    static LONG WINAPI regUnLoadKeyW(HKEY root, LPCWSTR name) {
        MountWatch& watch = *g_watch;
        MountEvent event;
        event.target = name;
        // Counted first: reading the hive below opens keys of its own.
        event.openHandles = watch.openHandles_ ? watch.openHandles_() : 0;
        if (root == HKEY_USERS) {
            event.content = machine::dumpTree(HKEY_USERS, name);
            // Windows writes the hive back itself as it unloads it.
            if (!watch.mountedFile_.empty() && onWine()) {
                machine::saveHive(HKEY_USERS, name, watch.mountedFile_);
            }
            watch.mountedFile_.clear();
        }
        const LONG status = watch.unload_.originalAs<Unload>()(root, name);
        event.status = status;
        watch.events_.push_back(std::move(event));
        return status;
    }
};

MountWatch::MountWatch(HMODULE module, std::function<std::size_t()> openHandles)
    : load_(module, "advapi32.dll", "RegLoadKeyW", reinterpret_cast<const void*>(&MountWatchHooks::regLoadKeyW)),
      unload_(module, "advapi32.dll", "RegUnLoadKeyW", reinterpret_cast<const void*>(&MountWatchHooks::regUnLoadKeyW)),
      openHandles_(std::move(openHandles)) {
    g_watch = this;
}

MountWatch::MountWatch(HMODULE module, const HandleLedger* ledger)
    : MountWatch(module, [ledger] { return ledger->openCount(); }) {}

MountWatch::~MountWatch() { g_watch = nullptr; }

std::vector<std::wstring> MountWatch::loadedFiles() const {
    std::vector<std::wstring> files;
    for (const MountEvent& event : events_) {
        if (event.load) {
            files.push_back(event.target);
        }
    }
    return files;
}

std::vector<std::wstring> MountWatch::mountedFiles() const {
    std::vector<std::wstring> files;
    for (const MountEvent& event : events_) {
        if (event.load && event.status == ERROR_SUCCESS) {
            files.push_back(event.target);
        }
    }
    return files;
}

int MountWatch::unloads() const {
    int count = 0;
    for (const MountEvent& event : events_) {
        count += event.load ? 0 : 1;
    }
    return count;
}

}  // namespace testing_support
