#pragma once

// The recorder of tools/trace, with the failure of every failable import:
// a test records each call the module makes through its import table and
// makes exactly one chosen call fail the way that call really fails (a
// registry status, FALSE with a last error, INVALID_HANDLE_VALUE, a failing
// HRESULT, NULL from HeapAlloc).

#include <string>

#include "support/iat_patch.h"
#include "trace/import_recorder.h"

namespace testing_support {

using trace::ImportFailure;

// The failure of a function, or null when the function cannot fail in a way
// its caller could see (GetSystemTime, runtime internals).
const ImportFailure* failureOf(const std::string& function);

// The string that argument `index` of a call points to (empty for none):
// read in an observer, while the pointer is the module's own.
inline std::wstring textArgument(const DWORD* arguments, std::size_t index) {
    return arguments[index] != 0 ? reinterpret_cast<const wchar_t*>(arguments[index]) : L"";
}

class ImportRecorder : public trace::ImportRecorder {
public:
    using trace::ImportRecorder::ImportRecorder;
    // The test program's own calls. The program outlives the recorder: the
    // functions it looks up by name are passed through, not handed out as
    // thunks that would go with the recorder.
    ImportRecorder() : trace::ImportRecorder(testProgram(), trace::LookUps::PassedThrough) {}

    // Makes the call with this position in calls() (counting from the last
    // clear()) fail with its failure; calls of functions that cannot fail are
    // passed through.
    void failCall(std::size_t position) { trace::ImportRecorder::failCall(position, &failureOf); }
};

}  // namespace testing_support
