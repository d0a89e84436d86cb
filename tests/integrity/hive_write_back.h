#pragma once

// Watches the hives a module mounts and unmounts through its import table,
// and makes the unmount do what Windows does and Wine does not: write the
// mounted hive back to the file it was loaded from, so that what a sweep did
// to an offline profile shows in that profile's NTUSER.DAT afterwards.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "support/iat_patch.h"

namespace integrity {

struct MountEvent {
    bool load = false;
    std::wstring target;  // the hive file of a load, the mount name of an unload
    LONG status = ERROR_SUCCESS;
    // At an unload: the registry keys the module had open when it asked.
    std::size_t openKeys = 0;
};

class HiveWriteBack {
public:
    // `openKeys` counts the module's open registry keys (optional). Patch on
    // top of an ImportRecorder, so that the calls still pass its thunks.
    explicit HiveWriteBack(HMODULE module, std::function<std::size_t()> openKeys = nullptr);
    ~HiveWriteBack();
    HiveWriteBack(const HiveWriteBack&) = delete;
    HiveWriteBack& operator=(const HiveWriteBack&) = delete;

    bool applied() const { return load_.applied() && unload_.applied(); }
    const std::vector<MountEvent>& events() const { return events_; }
    void clear() { events_.clear(); }
    // The hive files of the loads that succeeded, in call order.
    std::vector<std::wstring> mountedFiles() const;

private:
    friend struct HiveWriteBackHooks;
    testing_support::IatPatch load_;
    testing_support::IatPatch unload_;
    std::function<std::size_t()> openKeys_;
    std::vector<MountEvent> events_;
    std::wstring mountedFile_;
};

}  // namespace integrity
