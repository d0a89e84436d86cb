#pragma once

// A program started as a child process, as a person or an installer starts
// it: its command line as given, its output (standard output and error
// together) captured in a file, and a time limit after which it is killed
// with everything it started.

#include <windows.h>

#include <string>

namespace testing_support {

struct ChildRun {
    bool started = false;
    DWORD startError = ERROR_SUCCESS;  // why it did not start
    bool timedOut = false;             // killed at the time limit
    DWORD exitCode = 0;
    double seconds = 0;  // from the start to the exit or the kill
    std::string output;

    // "exited with N (T s)", "did not start (error N)" or "was killed at its
    // time limit (T s)".
    std::string outcome() const;
};

// Runs `program` with `arguments` (appended to its quoted path, verbatim) and
// waits at most `seconds` for it; the output goes through `outputFile`, or
// through a temporary file when none is named.
ChildRun runChild(const std::wstring& program, const std::wstring& arguments, DWORD seconds,
                  const std::wstring& outputFile = {});

// `seconds` stretched by INSTALLHOOKS_TIMEOUT_SCALE, which the test scripts
// set where 32-bit programs run under emulation.
DWORD scaledSeconds(DWORD seconds);

}  // namespace testing_support
