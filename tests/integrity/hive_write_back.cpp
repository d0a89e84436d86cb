#include "integrity/hive_write_back.h"

#include "machine/hives.h"

namespace integrity {
namespace {
HiveWriteBack* g_writeBack = nullptr;
}  // namespace

struct HiveWriteBackHooks {
    using Load = LONG(WINAPI*)(HKEY, LPCWSTR, LPCWSTR);
    using Unload = LONG(WINAPI*)(HKEY, LPCWSTR);

    static LONG WINAPI regLoadKeyW(HKEY root, LPCWSTR name, LPCWSTR file) {
        HiveWriteBack& watch = *g_writeBack;
        const LONG status = watch.load_.originalAs<Load>()(root, name, file);
        MountEvent event;
        event.load = true;
        event.target = file;
        event.status = status;
        if (status == ERROR_SUCCESS && root == HKEY_USERS) {
            watch.mountedFile_ = file;
        }
        watch.events_.push_back(std::move(event));
        return status;
    }

    static LONG WINAPI regUnLoadKeyW(HKEY root, LPCWSTR name) {
        HiveWriteBack& watch = *g_writeBack;
        MountEvent event;
        event.target = name;
        event.openKeys = watch.openKeys_ ? watch.openKeys_() : 0;
        if (root == HKEY_USERS && !watch.mountedFile_.empty()) {
            machine::saveHive(HKEY_USERS, name, watch.mountedFile_);
            watch.mountedFile_.clear();
        }
        const LONG status = watch.unload_.originalAs<Unload>()(root, name);
        event.status = status;
        watch.events_.push_back(std::move(event));
        return status;
    }
};

HiveWriteBack::HiveWriteBack(HMODULE module, std::function<std::size_t()> openKeys)
    : load_(module, "advapi32.dll", "RegLoadKeyW", reinterpret_cast<const void*>(&HiveWriteBackHooks::regLoadKeyW)),
      unload_(module, "advapi32.dll", "RegUnLoadKeyW",
              reinterpret_cast<const void*>(&HiveWriteBackHooks::regUnLoadKeyW)),
      openKeys_(std::move(openKeys)) {
    g_writeBack = this;
}

HiveWriteBack::~HiveWriteBack() { g_writeBack = nullptr; }

std::vector<std::wstring> HiveWriteBack::mountedFiles() const {
    std::vector<std::wstring> files;
    for (const MountEvent& event : events_) {
        if (event.load && event.status == ERROR_SUCCESS) {
            files.push_back(event.target);
        }
    }
    return files;
}

}  // namespace integrity
