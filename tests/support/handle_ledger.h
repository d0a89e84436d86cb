#pragma once

// Watches, through a module's import table, every registry key, find handle
// and token handle that the module opens and closes, so a test can require
// that nothing is left open on any path. One ledger at a time.

#include <windows.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/iat_patch.h"

namespace testing_support {

struct KeyOpen {
    std::string function;  // RegOpenKeyExW, RegOpenKeyW or RegCreateKeyExW
    HKEY parent;
    std::wstring path;
    DWORD options;
    REGSAM access;
    LONG status;
};

class HandleLedger {
public:
    explicit HandleLedger(HMODULE module = testProgram());
    ~HandleLedger();

    HandleLedger(const HandleLedger&) = delete;
    HandleLedger& operator=(const HandleLedger&) = delete;

    // Registry keys, find handles and token handles opened while watching
    // and not closed since.
    std::size_t openCount() const;
    int keyOpens() const { return keyOpens_; }
    int keyCloses() const { return keyCloses_; }
    // Closes of handles that were not open (twice closed, or never opened).
    int strayCloses() const { return strayCloses_; }
    const std::vector<KeyOpen>& opens() const { return opens_; }

    // Makes the next matching open fail with `status` (RegOpenKeyExW and
    // RegOpenKeyW whose path ends with `pathSuffix`, compared without case).
    void failOpen(const std::wstring& pathSuffix, LONG status);

private:
    friend struct LedgerHooks;
    std::vector<std::unique_ptr<IatPatch>> patches_;
    std::set<HKEY> keys_;
    std::set<HANDLE> finds_;
    std::set<HANDLE> tokens_;
    std::vector<KeyOpen> opens_;
    int keyOpens_ = 0;
    int keyCloses_ = 0;
    int strayCloses_ = 0;
    std::wstring failSuffix_;
    LONG failStatus_ = ERROR_SUCCESS;
};

}  // namespace testing_support
