#pragma once

// The verdict on each program the kit ran, read from its exit code and its
// GoogleTest XML report, and the kit's own reports made from them: the
// combined JUnit file and the JSON summary.

#include <windows.h>

#include <string>
#include <vector>

namespace testkit {

struct ProgramResult {
    std::string name;  // "hooks_tests"
    bool started = false;
    bool timedOut = false;
    double limit = 0;  // seconds
    DWORD exitCode = 0;
    double seconds = 0;
    int listed = -1;  // cases --gtest_list_tests named; -1 when it could not tell
    // From the XML report, when it was written to its end.
    bool reported = false;
    int tests = 0;
    int failures = 0;
    int disabled = 0;
    int skipped = 0;
    int completed = 0;                     // cases that ran to their end, failed or not
    std::vector<std::string> skipReasons;  // each distinct reason once
    std::string xml;

    // It exited with 0 after writing its whole report, and no case failed.
    bool passed() const { return started && !timedOut && exitCode == 0 && reported && failures == 0; }
    int passedCases() const { return reported ? completed - failures : 0; }
    // A program that ended before reporting fails every case it listed; one
    // that failed without a failed case counts as one.
    int failedCases() const {
        const int failed = reported ? failures : (listed > 0 ? listed : 0);
        return failed == 0 && !passed() ? 1 : failed;
    }
    // "passed", "FAILED", "TIMEOUT" or "CRASHED", and what happened.
    std::string verdict() const;
    std::string detail() const;
};

// Reads the report of a program that ran: complete only when it ends with
// the closing tag of its root, which GoogleTest writes last.
void readReport(const std::wstring& file, ProgramResult& result);
// The number of cases in a --gtest_list_tests XML listing, or -1.
int listedCases(const std::wstring& file);

std::string junit(const std::vector<ProgramResult>& results);
// `ok` is the kit's verdict; `bench` the benchmark's run as JSON, or null.
std::string summaryJson(const std::string& platformJson, const std::vector<ProgramResult>& results,
                        const std::vector<std::string>& removed, const std::string& bench, bool ok);

std::string hex(unsigned long value);
std::string jsonString(const std::string& text);
std::string xmlText(const std::string& text);
bool readFile(const std::wstring& path, std::string& content);
bool writeFile(const std::wstring& path, const std::string& content);

}  // namespace testkit
