#pragma once

// Failures of the registry calls that HandleLedger does not fail: creating a
// key and copying one, made to fail through a module's import table for the
// lifetime of the object. Each counts the calls it sees. One of each kind at
// a time; either may be stacked on a HandleLedger of the same module
// (construct it after the ledger: it then calls through the ledger's entry).

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "support/iat_patch.h"

namespace testing_support {

// RegCreateKeyExW fails with `status`, creating nothing, for every path that
// ends with `pathSuffix` (compared without case); other calls pass through.
class CreateKeyFault {
public:
    CreateKeyFault(HMODULE module, std::wstring pathSuffix, LONG status);
    ~CreateKeyFault();
    CreateKeyFault(const CreateKeyFault&) = delete;
    CreateKeyFault& operator=(const CreateKeyFault&) = delete;

    bool applied() const { return patch_->applied(); }
    // The paths of every call, failed or not, in order.
    const std::vector<std::wstring>& paths() const { return paths_; }
    int failures() const { return failures_; }

private:
    friend struct CreateKeyFaultHook;
    std::unique_ptr<IatPatch> patch_;
    std::wstring suffix_;
    LONG status_;
    std::vector<std::wstring> paths_;
    int failures_ = 0;
};

// SHCopyKeyW (shlwapi) fails with `status`, copying nothing, when its source
// key's full registry name ends with `sourceSuffix` (compared without case);
// other calls pass through. An empty suffix fails none.
class CopyKeyFault {
public:
    CopyKeyFault(HMODULE module, std::wstring sourceSuffix, LONG status);
    ~CopyKeyFault();
    CopyKeyFault(const CopyKeyFault&) = delete;
    CopyKeyFault& operator=(const CopyKeyFault&) = delete;

    bool applied() const { return patch_->applied(); }
    // The last component of every source key's name, failed or not, in order.
    const std::vector<std::wstring>& sources() const { return sources_; }
    // The subkey names passed with the calls ("" for none).
    const std::vector<std::wstring>& subkeys() const { return subkeys_; }

private:
    friend struct CopyKeyFaultHook;
    std::unique_ptr<IatPatch> patch_;
    std::wstring suffix_;
    LONG status_;
    std::vector<std::wstring> sources_;
    std::vector<std::wstring> subkeys_;
};

// The full name of an open key as the kernel knows it
// ("\REGISTRY\MACHINE\Software\Wow6432Node\..."), or empty.
std::wstring registryKeyName(HKEY key);

}  // namespace testing_support
