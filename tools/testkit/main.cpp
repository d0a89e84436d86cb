// installhooks-testkit.exe --disposable-machine --out DIR [--bench]
//
// The test suite on a Windows machine, in one file: it carries the test
// programs, the installhooks.dll and hookhost.exe they test and the files
// they read, extracts them into a fresh folder, runs each program with a
// time limit of its own and writes each program's GoogleTest XML report and
// output, one combined JUnit file (junit.xml) and a summary (summary.json)
// into DIR. --bench also runs the benchmark program, whose tables go to DIR.
//
// The tests change the machine (the product's keys, profile folders, user
// hives): the kit refuses to run without --disposable-machine, and where
// the product's keys exist before it starts. It removes what it made when
// it ends.
//
// Exit status: 0 every program passed; 1 something failed, timed out or
// crashed; 2 usage; 3 refused.

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "testkit/platform.h"
#include "testkit/reports.h"
#include "testkit/runner.h"
#include "testkit_payload.h"

namespace {

using namespace testkit;

constexpr char kName[] = "installhooks-testkit";

// Keys that only the product makes: where one exists, the product looks
// installed, and the tests would delete it.
const struct {
    const wchar_t* path;
    REGSAM view;
    const char* label;
} kProductKeys[] = {
    {L"SOFTWARE\\Korvan", KEY_WOW64_64KEY, "HKLM\\SOFTWARE\\Korvan (64-bit view)"},
    {L"SOFTWARE\\Korvan", KEY_WOW64_32KEY, "HKLM\\SOFTWARE\\Korvan (32-bit view)"},
    {L"SOFTWARE\\Classes\\CLSID\\{5e3b9a17-c2d4-4f81-b6a0-93d7e1f2c845}", KEY_WOW64_64KEY,
     "the product's shell extension class key (64-bit view)"},
    {L"SOFTWARE\\Classes\\CLSID\\{5e3b9a17-c2d4-4f81-b6a0-93d7e1f2c845}", KEY_WOW64_32KEY,
     "the product's shell extension class key (32-bit view)"},
};

int usage(const std::string& problem) {
    std::fprintf(stderr, "%s: %s; usage: %s --disposable-machine --out DIR [--bench]\n", kName, problem.c_str(), kName);
    return 2;
}

int refuse(const std::string& why) {
    std::fprintf(stderr, "%s: refusing to run: %s; nothing was changed\n", kName, why.c_str());
    return 3;
}

std::string name(const std::wstring& file) {
    const std::string text = machine::narrow(file);
    return text.substr(0, text.rfind('.'));
}

// The folder the kit extracts to: new, below the temp folder.
std::wstring freshFolder() {
    wchar_t temp[MAX_PATH];
    const DWORD length = GetTempPathW(MAX_PATH, temp);
    for (int attempt = 0; length > 0 && length < MAX_PATH && attempt < 100; ++attempt) {
        const std::wstring folder = std::wstring(temp) + L"installhooks-testkit-" +
                                    std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(attempt);
        if (CreateDirectoryW(folder.c_str(), nullptr)) {
            return folder;
        }
    }
    return {};
}

void printLine(const std::string& name, const std::string& verdict, const std::string& detail) {
    std::printf("%-22s %-8s %s\n", name.c_str(), verdict.c_str(), detail.c_str());
    std::fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    bool disposable = false;
    bool bench = false;
    std::wstring out;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--disposable-machine") {
            disposable = true;
        } else if (arg == L"--bench") {
            bench = true;
        } else if (arg == L"--out" && i + 1 < argc) {
            out = argv[++i];
        } else {
            return usage("unknown argument '" + machine::narrow(arg) + "'");
        }
    }
    if (!disposable) {
        return refuse(
            "the tests change this machine (the product's registry keys, profile folders, user hives, local "
            "test users); run it only on a disposable test machine, with --disposable-machine");
    }
    for (const auto& key : kProductKeys) {
        if (machine::keyExists(HKEY_LOCAL_MACHINE, key.path, key.view)) {
            return refuse(std::string(key.label) +
                          " exists before any test made it: the product looks installed here, and the tests would "
                          "delete its keys; use a machine without it");
        }
    }
    if (out.empty()) {
        return usage("--out DIR is required");
    }
    int programs = 0;
    const PayloadEntry* benchProgram = nullptr;
    for (const PayloadEntry& entry : kPayload) {
        programs += entry.kind == Kind::kProgram ? 1 : 0;
        benchProgram = entry.kind == Kind::kBench ? &entry : benchProgram;
    }
    if (bench && benchProgram == nullptr) {
        return usage("--bench: this kit was built without the benchmark program (-DINSTALLHOOKS_BENCH=ON)");
    }
    wchar_t full[MAX_PATH];
    const DWORD fullLength = GetFullPathNameW(out.c_str(), MAX_PATH, full, nullptr);
    if (fullLength == 0 || fullLength >= MAX_PATH || !machine::createDirectories(full)) {
        return usage("cannot create the folder '" + machine::narrow(out) + "'");
    }
    out = full;

    const Platform here = platform();
    std::printf("%s %s: %d test programs\n", kName, INSTALLHOOKS_VERSION, programs);
    std::printf("running on: %s\n", here.line().c_str());
    const Leftovers leftovers;
    const std::wstring work = freshFolder();
    bool complete = !work.empty() && CreateDirectoryW((work + L"\\temp").c_str(), nullptr) &&
                    CreateDirectoryW((work + L"\\listings").c_str(), nullptr);
    for (const PayloadEntry& entry : kPayload) {
        complete = complete && extract(entry.resource, work + L"\\" + entry.name);
    }
    std::printf("extracted to: %s%s\n", machine::narrow(work).c_str(), complete ? "" : " (FAILED)");
    // The programs find the DLL, hookhost.exe and the end-to-end inputs
    // beside them; what they leave in the temp folder goes with the
    // extraction folder.
    SetEnvironmentVariableW(L"INSTALLHOOKS_DLL", nullptr);
    SetEnvironmentVariableW(L"INSTALLHOOKS_E2E_DIR", nullptr);
    SetEnvironmentVariableW(L"TEMP", (work + L"\\temp").c_str());
    SetEnvironmentVariableW(L"TMP", (work + L"\\temp").c_str());
    // Machines that run x86 code under emulation take longer.
    wchar_t scaleText[32] = {};
    const DWORD scaleLength = GetEnvironmentVariableW(L"INSTALLHOOKS_TIMEOUT_SCALE", scaleText, 32);
    const double scale = scaleLength > 0 && scaleLength < 32 && _wtof(scaleText) > 0 ? _wtof(scaleText) : 1.0;

    std::vector<ProgramResult> results;
    for (const PayloadEntry& entry : kPayload) {
        if (entry.kind != Kind::kProgram || !complete || interrupted()) {
            continue;
        }
        ProgramResult r;
        r.name = name(entry.name);
        r.limit = entry.seconds * scale;
        const std::wstring exe = work + L"\\" + entry.name;
        const std::wstring wname = std::wstring(entry.name).substr(0, r.name.size());
        const std::wstring listing = work + L"\\listings\\" + wname;
        runChild(exe, L"--gtest_list_tests \"--gtest_output=xml:" + listing + L".xml\"", work, listing + L".log",
                 r.limit);
        r.listed = listedCases(listing + L".xml");
        const std::wstring report = out + L"\\" + wname + L".xml";
        DeleteFileW(report.c_str());
        const ChildRun run = runChild(exe, L"--gtest_color=no \"--gtest_output=xml:" + report + L"\"", work,
                                      out + L"\\" + wname + L".log", r.limit);
        r.started = run.started;
        r.timedOut = run.timedOut;
        r.exitCode = run.exitCode;
        r.seconds = run.seconds;
        readReport(report, r);
        printLine(r.name, r.verdict(), r.detail());
        results.push_back(r);
    }
    std::string benchJson = "null";
    bool benchPassed = true;
    if (bench && complete && !interrupted()) {
        const std::wstring tables = out + L"\\results.md";
        DeleteFileW(tables.c_str());
        const ChildRun run =
            runChild(work + L"\\" + benchProgram->name, L"--out \"" + out + L"\"", work,
                     out + L"\\" + std::wstring(benchProgram->name) + L".log", benchProgram->seconds * scale);
        benchPassed = run.started && !run.timedOut && run.exitCode == 0 && machine::fileExists(tables);
        const std::string detail =
            !run.started ? "did not start"
            : run.timedOut
                ? "killed after its limit of " + std::to_string(static_cast<int>(benchProgram->seconds * scale)) + " s"
            : benchPassed ? "tables in " + machine::narrow(tables)
                          : "exit code " + hex(run.exitCode) + ", no tables";
        printLine(name(benchProgram->name), benchPassed ? "passed" : "FAILED",
                  detail + " (" + std::to_string(static_cast<int>(run.seconds)) + " s)");
        benchJson = "{\"passed\": " + std::string(benchPassed ? "true" : "false") +
                    ", \"detail\": " + jsonString(detail) +
                    ", \"seconds\": " + std::to_string(static_cast<int>(run.seconds)) + "}";
    }

    // Clean-up, also after a failure: the extracted files, and whatever the
    // tests left where they keep what they make.
    bool removedWork = work.empty();
    for (int attempt = 0; !removedWork && attempt < 20; ++attempt) {
        removedWork = machine::removeDirectoryTree(L"\\\\?\\" + work);
        if (!removedWork) {
            Sleep(250);
        }
    }
    if (!removedWork) {
        std::printf("could not remove %s\n", machine::narrow(work).c_str());
    }
    const std::vector<std::string> removed = leftovers.remove();
    for (const std::string& item : removed) {
        std::printf("removed, left by the tests: %s\n", item.c_str());
    }

    int passed = 0;
    int failed = 0;
    bool ok = complete && removedWork && benchPassed && !interrupted() &&
              results.size() == static_cast<std::size_t>(programs);
    for (const ProgramResult& r : results) {
        passed += r.passedCases();
        failed += r.failedCases();
        ok = ok && r.passed();
    }
    const bool written = writeFile(out + L"\\junit.xml", junit(results)) &&
                         writeFile(out + L"\\summary.json", summaryJson(here.json(), results, removed, benchJson, ok));
    std::printf("results: %s\\ (junit.xml, summary.json, and each program's .xml and .log)%s\n",
                machine::narrow(out).c_str(), written ? "" : ": could not be written");
    if (interrupted()) {
        std::printf("interrupted\n");
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return ok && written ? 0 : 1;
}
