#pragma once

// Routes every by-name import of a module through a small thunk, so a test
// can record each call the module makes through its import table, in order,
// and make exactly one chosen call fail the way that call really fails (a
// registry status, FALSE with a last error, INVALID_HANDLE_VALUE, a failing
// HRESULT, NULL from malloc). The thunks forward the call untouched
// otherwise: arguments, return value and last error are the platform's. The
// calls that open and close registry keys, searches and tokens pass through
// wrappers that count what is open, so a test can require that nothing is
// left open on any path.

#include <windows.h>

#include <cstddef>
#include <functional>
#include <set>
#include <string>
#include <utility>
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

    // The module's imports, followed by the failable functions that it
    // looked up with GetProcAddress while recorded (RegDeleteKeyExW): a
    // looked-up function is handed out as a thunk that records its calls,
    // so the recorder must outlive every use of the address by the module.
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

    // Registry keys, find handles and process tokens that the module opened
    // through its import table since the last clear() and has not closed.
    // A close of a handle that is not open (closed twice, or never opened
    // here) is counted as stray. A close that is made to fail still releases
    // the handle: a close fails only for a handle that is already gone, so
    // the module's view of it is the failing status, not a handle left open.
    std::size_t openKeys() const { return openKeys_.size(); }
    std::size_t openFinds() const { return openFinds_.size(); }
    std::size_t openTokens() const { return openTokens_.size(); }
    int strayCloses() const { return strayCloses_; }
    // Closes whatever the module left open, so a failing test does not leave
    // keys or a mount behind it.
    void closeLeftovers();

    // Called before every recorded call, with its position, the function's
    // name and its arguments as pushed (pointer-sized words).
    using CallObserver = std::function<void(std::size_t position, const std::string& function, const DWORD* arguments)>;
    void observe(CallObserver observer) { observer_ = std::move(observer); }

private:
    friend int dispatchImport(DWORD* frame);
    friend struct HandleWrappers;
    void* originalOf(const char* function) const;
    void writeThunk(std::size_t index);
    void* lookedUpThunk(const char* function, void* original);

    // The module's imports, then the functions it looked up by name (with
    // no slot): both are recorded alike.
    std::vector<ImportEntry> imports_;
    std::size_t patched_ = 0;
    std::vector<void*> originals_;
    // Per import: the wrapper that counts the handles its call opens or
    // closes, or null.
    std::vector<void*> wrappers_;
    std::set<HKEY> openKeys_;
    std::set<HANDLE> openFinds_;
    std::set<HANDLE> openTokens_;
    int strayCloses_ = 0;
    // Set while a close that is to fail runs through its wrapper.
    const ImportFailure* closeFailure_ = nullptr;
    CallObserver observer_;
    std::vector<std::size_t> calls_;
    BYTE* thunks_ = nullptr;
    std::size_t failAt_ = static_cast<std::size_t>(-1);
    bool injected_ = false;
};

}  // namespace testing_support
