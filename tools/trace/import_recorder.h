#pragma once

// Routes every by-name import of a module through a small thunk, so that a
// host or a test sees each call the module makes through its import table,
// in order, with its arguments and, once it has returned, its result and
// last error; the functions that the module looks up by name with
// GetProcAddress are handed out as thunks of their own and seen alike. The
// thunks forward each call untouched: arguments, return value and last error
// are the platform's. Registry keys, find handles and process tokens that
// the module opens and closes are counted, so that a caller can require that
// nothing is left open on any path. A single chosen call can be made to fail
// the way that call really fails (the test support says how each fails).
//
// Only the calls made on the thread that created the recorder are recorded;
// those of other threads pass straight through, as do those that the
// recorder's observers make.

#include <windows.h>

#include <cstddef>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "trace/iat_patch.h"

namespace trace {

// How a failable import fails: its return value, the last error it leaves,
// and how many bytes of arguments it removes (0 for the C runtime's cdecl
// functions).
struct ImportFailure {
    const char* function;
    DWORD argumentBytes;
    DWORD returnValue;
    DWORD lastError;  // 0: the call sets none
};

// One call as the recorder saw it.
struct RecordedCall {
    static constexpr std::size_t kArguments = 12;
    std::size_t position = 0;  // in calls()
    std::size_t import = 0;    // in imports()
    // The first kArguments pointer-sized words on the stack at the call,
    // copied then: pointers in them may be read when the call has returned.
    DWORD arguments[kArguments] = {};
    DWORD result = 0;     // eax as the caller receives it
    DWORD lastError = 0;  // the last error as the caller finds it
    bool failed = false;  // made to fail by failCall()
};

// Whether the functions that the module looks up by name are handed out as
// thunks (and recorded), or passed through as they are: a module that
// outlives the recorder (the recording program itself, a DLL called again
// once the recorder is gone) may keep what it looked up.
enum class LookUps { Recorded, PassedThrough };

class ImportRecorder {
public:
    explicit ImportRecorder(HMODULE module, LookUps lookUps = LookUps::Recorded);
    ~ImportRecorder();

    ImportRecorder(const ImportRecorder&) = delete;
    ImportRecorder& operator=(const ImportRecorder&) = delete;

    // The module's imports, followed by the functions that it looked up with
    // GetProcAddress while recorded (RegDeleteKeyExW): a looked-up function
    // is handed out as a thunk, so the recorder must outlive every use of
    // the address by the module.
    const std::vector<ImportEntry>& imports() const { return imports_; }
    const std::string& functionOf(const RecordedCall& call) const { return imports_[call.import].function; }

    // Calls recorded since construction or clear(), as indexes into imports().
    const std::vector<std::size_t>& calls() const { return calls_; }
    std::vector<std::string> callNames() const;
    void clear();

    // Registry keys, find handles and process tokens that the module opened
    // through its import table since the last clear() and has not closed.
    // A close of a handle that is not open (closed twice, or never opened
    // here) is counted as stray. A close that is made to fail still releases
    // the handle: a close fails only for a handle that is already gone, so
    // the module's view of it is the failing status, not a handle left open.
    std::size_t openKeys() const { return openKeys_.size(); }
    std::size_t openFinds() const { return openFinds_.size(); }
    std::size_t openTokens() const { return openTokens_.size(); }
    const std::set<HKEY>& openKeyHandles() const { return openKeys_; }
    const std::set<HANDLE>& openFindHandles() const { return openFinds_; }
    const std::set<HANDLE>& openTokenHandles() const { return openTokens_; }
    int strayCloses() const { return strayCloses_; }
    // Closes whatever the module left open, so that nothing stays behind.
    void closeLeftovers();

    // Called before every recorded call, with its position, the function's
    // name and its arguments as pushed (pointer-sized words).
    using CallObserver = std::function<void(std::size_t position, const std::string& function, const DWORD* arguments)>;
    void observe(CallObserver observer) { observer_ = std::move(observer); }
    // Called when a recorded call has returned to the module (or was made to
    // fail), before the module sees the result.
    using ReturnObserver = std::function<void(const RecordedCall& call)>;
    void observeReturns(ReturnObserver observer) { returnObserver_ = std::move(observer); }

    // Makes the call with this position in calls() (counting from the last
    // clear()) fail as `failureOf` says that function fails; a function for
    // which it gives null is passed through. A close is made, then reported
    // failed; any other call that fails is not made at all.
    using FailureOf = const ImportFailure* (*)(const std::string& function);
    void failCall(std::size_t position, FailureOf failureOf);
    // Whether the chosen call was reached and failed.
    bool injected() const { return injected_; }

private:
    friend int dispatchImport(DWORD* frame);
    friend void returnFromImport(DWORD* frame);
    void writeThunk(std::size_t index);
    void* lookedUpThunk(const char* function, void* original);
    void account(const RecordedCall& call);

    // A call on its way through the function, with where it returns to.
    struct Pending {
        RecordedCall call;
        DWORD returnAddress = 0;
        const ImportFailure* closeFailure = nullptr;
    };

    // The module's imports, then the functions it looked up by name (with
    // no slot): both are recorded alike.
    std::vector<ImportEntry> imports_;
    std::size_t patched_ = 0;
    std::vector<void*> originals_;
    std::set<HKEY> openKeys_;
    std::set<HANDLE> openFinds_;
    std::set<HANDLE> openTokens_;
    int strayCloses_ = 0;
    CallObserver observer_;
    ReturnObserver returnObserver_;
    std::vector<std::size_t> calls_;
    std::vector<Pending> pending_;
    BYTE* thunks_ = nullptr;
    DWORD thread_ = 0;
    LookUps lookUps_;
    // Set while the recorder itself runs: calls it makes through the
    // module's slots (the module may be the program that records it) pass.
    bool busy_ = true;
    std::size_t failAt_ = static_cast<std::size_t>(-1);
    FailureOf failureOf_ = nullptr;
    bool injected_ = false;
};

}  // namespace trace
