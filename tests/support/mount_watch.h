#pragma once

// Watches every RegLoadKeyW and RegUnLoadKeyW of a module through its import
// table, and makes the unmount do under Wine what Windows does.
//
// Two ways in which Wine differs from Windows shape the tests that mount
// hives (support/platform.h tells them apart). Windows writes a mounted hive
// back to its file when it unloads it; Wine never does: so under Wine the
// watch writes the hive back to the file it was loaded from before the
// unload, and on Windows leaves that to Windows. Either way it reads the hive
// as the module leaves it. And Windows refuses to unload a hive while any key
// inside it is open, where Wine notices only keys open on the hive's root:
// so the handles the module holds at that moment are counted, the one sign
// of such a key under Wine. After a failed load it also frees the mount name
// where Wine has left an empty hive on it, as Windows would have left the
// name free.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "support/handle_ledger.h"
#include "support/iat_patch.h"

namespace testing_support {

struct MountEvent {
    bool load = false;
    std::wstring target;  // the hive file of a load, the mount name of an unload
    LONG status = ERROR_SUCCESS;
    // The mounted hive as dumpTree reads it: right after a load that
    // succeeded, and right before an unload (under Wine the only reading of
    // what the module left in it: see preuninstall/user_hives.h).
    std::vector<std::wstring> content;
    // Handles that the module had open when it asked for the unload (with a
    // counter only).
    std::size_t openHandles = 0;
    // A failed load after which Wine had left an empty hive at the mount
    // name, unmounted by the watch.
    bool leftoverUnmounted = false;
};

class MountWatch {
public:
    // `openHandles` counts the module's open handles (optional). Made on top
    // of an ImportRecorder, the calls still pass its thunks.
    explicit MountWatch(HMODULE module, std::function<std::size_t()> openHandles = nullptr);
    MountWatch(HMODULE module, const HandleLedger* ledger);
    ~MountWatch();
    MountWatch(const MountWatch&) = delete;
    MountWatch& operator=(const MountWatch&) = delete;

    bool applied() const { return load_.applied() && unload_.applied(); }
    const std::vector<MountEvent>& events() const { return events_; }
    void clear() { events_.clear(); }
    // The hive files of every load, in call order, and of those that
    // succeeded.
    std::vector<std::wstring> loadedFiles() const;
    std::vector<std::wstring> mountedFiles() const;
    int unloads() const;

private:
    friend struct MountWatchHooks;
    IatPatch load_;
    IatPatch unload_;
    std::function<std::size_t()> openHandles_;
    std::vector<MountEvent> events_;
    std::wstring mountedFile_;
};

}  // namespace testing_support
