#pragma once

// The recorder of a module's import table, read as a ledger of the registry
// keys, find handles and token handles that the module opens and closes, so
// a test can require that nothing is left open on any path, and of every key
// open with what it asked for. One ledger (one recorder) at a time.

#include <windows.h>

#include <string>
#include <vector>

#include "support/import_recorder.h"

namespace testing_support {

struct KeyOpen {
    std::string function;  // RegOpenKeyExW, RegOpenKeyW or RegCreateKeyExW
    HKEY parent;
    std::wstring path;
    DWORD options;  // 0 for RegOpenKeyW, which takes none
    REGSAM access;  // likewise
    LONG status;
};

class HandleLedger : public ImportRecorder {
public:
    explicit HandleLedger(HMODULE module = testProgram());

    // Registry keys, find handles and token handles opened while watching
    // and not closed since.
    std::size_t openCount() const { return openKeys() + openFinds() + openTokens(); }
    int keyOpens() const;
    int keyCloses() const { return keyCloses_; }
    const std::vector<KeyOpen>& opens() const { return opens_; }

    // Makes the next matching open fail with `status` (RegOpenKeyExW and
    // RegOpenKeyW whose path ends with `pathSuffix`, compared without case).
    void failOpen(const std::wstring& pathSuffix, LONG status);
    // Makes every call of `function` fail as that function fails.
    void failEvery(std::string function) { failEvery_ = std::move(function); }
    // A test's own observer, called before each call ahead of failOpen's.
    void observe(CallObserver observer) { observer_ = std::move(observer); }

private:
    CallObserver observer_;
    std::vector<KeyOpen> opens_;
    int keyCloses_ = 0;
    std::wstring failSuffix_;
    std::string failEvery_;
};

}  // namespace testing_support
