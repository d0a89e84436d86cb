#pragma once

// Routes every by-name import of a module through a small thunk, so a test
// can record each call the module makes through its import table, in order,
// and make exactly one chosen call fail the way that call really fails (a
// registry status, FALSE with a last error, INVALID_HANDLE_VALUE, a failing
// HRESULT, NULL from malloc). The thunks forward the call untouched
// otherwise: arguments, return value and last error are the platform's.

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

#include "support/iat_patch.h"

namespace testing_support {

// How a failable import fails: its return value, the last error it leaves,
// and how many bytes of arguments it removes (0 for the C runtime's cdecl
// functions).
struct ImportFailure {
    const char* function;
    DWORD argumentBytes;
    DWORD returnValue;
    DWORD lastError;  // 0: the call sets none
};

// The failure of a function, or null when the function cannot fail in a way
// its caller could see (GetSystemTime, runtime internals).
const ImportFailure* failureOf(const std::string& function);

class ImportRecorder {
public:
    explicit ImportRecorder(HMODULE module);
    ~ImportRecorder();

    ImportRecorder(const ImportRecorder&) = delete;
    ImportRecorder& operator=(const ImportRecorder&) = delete;

    const std::vector<ImportEntry>& imports() const { return imports_; }

    // Calls recorded since construction or clear(), as indexes into imports().
    const std::vector<std::size_t>& calls() const { return calls_; }
    std::vector<std::string> callNames() const;
    void clear();

    // Makes the call with this position in calls() (counting from the last
    // clear()) fail with its failure; calls of functions that cannot fail are
    // passed through. Returns the function's name.
    void failCall(std::size_t position);
    // Whether the chosen call was reached and failed.
    bool injected() const { return injected_; }

private:
    friend int dispatchImport(DWORD* frame);
    std::vector<ImportEntry> imports_;
    std::vector<void*> originals_;
    std::vector<std::size_t> calls_;
    BYTE* thunks_ = nullptr;
    std::size_t failAt_ = static_cast<std::size_t>(-1);
    bool injected_ = false;
};

}  // namespace testing_support
