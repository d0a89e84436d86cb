// The hooks as real installer engines call them, checked from inside
// Windows: the sample NSIS installer (examples/nsis) and its uninstaller,
// and the sample Windows Installer package (examples/msi) under msiexec, each
// started as a child process with a time limit of its own on the seeded
// sample machine, which this program then reads itself.
//
// Every input is a file of one folder: the one INSTALLHOOKS_E2E_DIR names,
// else this program's own. The build stages it as build/e2e-inputs
// (tests/e2e/e2e_inputs.sh, the e2e_inputs target):
//
//   installhooks.dll                    the DLL under test
//   hookhost.exe                        the oracle: calls one hook as the contract says
//   installhooks-sample.exe             the NSIS sample installer, built around installhooks.dll
//   faulty_decorated_exports.dll        hook DLLs with one fault each (decorated export names,
//   faulty_missing_export.dll           DllZudaUnInstall not exported, a one-argument
//   faulty_argument_count.dll           DllPostInstall), and the installer built around each:
//   faulty_<fault>-sample.exe           NSIS embeds the DLL when the installer is built
//   installhooks-sample.msi             the sample package, built around installhooks.dll
//   faulty_failing_removal-sample.msi   the package around a DLL whose DllZudaUnInstall returns 1603
//
// The oracle is the same DLL driven by hookhost.exe, whose contract checks
// (export found by name, result 0, exactly its arguments removed from the
// stack) hookhost_tests pins down: the machine is seeded, the hooks run
// through hookhost and the footprint is read after each phase; then the
// machine is seeded again and the installer takes hookhost's place. The
// footprints must be the same after each phase, but for the time of the run
// in the install date stamp: whatever the hooks come to do, this holds as
// long as the installer calls them as hookhost does. On top of that each
// check reads what holds whatever the footprint is: exit statuses, the
// result each hook recorded, the installed and removed files, the date stamp
// written during the install, the DLL freed before its file was deleted.
//
// The checks of one installer run as one sequence and say each finding as a
// line ("ok" or "FAIL"), so that the same check can be required to pass on
// the shipped DLL and to fail, for the right reason, on each faulty one.
//
// It changes the machine: the product's footprint (seeded, then cleared),
// the sample product in Program Files, and its Windows Installer
// registration; each test removes what it made. On Windows it needs an
// elevated process: both samples install for the whole machine.

#include <windows.h>
#include <msi.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "footprint/footprint.h"
#include "machine/machine.h"
#include "samplemachine/footprint.h"
#include "support/child_process.h"
#include "support/platform.h"

using testing_support::ChildRun;
using testing_support::runChild;
using testing_support::scaledSeconds;

namespace {

constexpr wchar_t kProductCode[] = L"{B3A90066-11D2-49CE-A6AA-EBF0311D9C7D}";
constexpr wchar_t kSubstitute[] = L"Software\\Korvan\\ZTB\\AppInfo\\Substitute";

std::wstring wide(const std::string& text) {
    std::wstring out(text.size() + 1, L'\0');
    out.resize(static_cast<std::size_t>(
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), static_cast<int>(out.size())) - 1));
    return out;
}

std::wstring inputFolder() {
    wchar_t folder[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"INSTALLHOOKS_E2E_DIR", folder, MAX_PATH);
    std::wstring path = length > 0 && length < MAX_PATH ? folder : L"";
    if (path.empty()) {
        GetModuleFileNameW(nullptr, folder, MAX_PATH);
        path = folder;
        path.resize(path.rfind(L'\\'));
    }
    return path.back() == L'\\' || path.back() == L'/' ? path : path + L"\\";
}

std::wstring input(const std::wstring& name) {
    const std::wstring path = inputFolder() + name;
    EXPECT_TRUE(machine::fileExists(path)) << "missing input " << machine::narrow(path);
    return path;
}

// Logs and results, in a folder of the run's own below %TEMP%, emptied when
// the run starts; its path has no spaces, for the installer's /RESULTS=.
std::wstring work(const std::wstring& name) {
    static const std::wstring folder = [] {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        std::wstring path = std::wstring(temp) + L"installhooks-e2e";
        machine::removeDirectoryTree(path);
        machine::createDirectories(path);
        wchar_t brief[MAX_PATH] = {};
        if (path.find(L' ') != std::wstring::npos && GetShortPathNameW(path.c_str(), brief, MAX_PATH) > 0) {
            path = brief;
        }
        return path + L"\\";
    }();
    return folder + name;
}

std::wstring installDir() { return machine::shellFolder(CSIDL_PROGRAM_FILES) + L"\\Korvan Hook Sample"; }

std::wstring systemProgram(const wchar_t* name) {
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    // The native program where this 32-bit process runs on a 64-bit system.
    const std::wstring native = std::wstring(windows) + L"\\Sysnative\\" + name;
    return machine::fileExists(native) ? native : std::wstring(windows) + L"\\System32\\" + name;
}

// Output as one line, for a finding.
std::string oneLine(const std::string& text) {
    std::string line;
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            if (!line.empty() && line.back() != ' ') {
                line += ' ';
            }
        } else {
            line += c;
        }
    }
    return line.empty() || line.back() != ' ' ? line : line.substr(0, line.size() - 1);
}

// What one run of a check found, in the order it found it.
class Findings {
public:
    void check(bool ok, const std::string& what) {
        std::printf("  %s  %s\n", ok ? "ok  " : "FAIL", what.c_str());
        (ok ? passed_ : failed_).push_back(what);
    }
    const std::vector<std::string>& failed() const { return failed_; }
    // Whether a finding, failed or passed, matches the regular expression.
    bool said(bool failed, const std::string& pattern) const {
        const std::regex expression(pattern);
        for (const std::string& line : failed ? failed_ : passed_) {
            if (std::regex_search(line, expression)) {
                return true;
            }
        }
        return false;
    }
    std::string text() const {
        std::string out;
        for (const std::string& line : failed_) {
            out += "  FAIL  " + line + "\n";
        }
        return out;
    }

private:
    std::vector<std::string> passed_;
    std::vector<std::string> failed_;
};

void exited(Findings& findings, const std::string& what, const ChildRun& run, DWORD expected = 0) {
    const bool ok = run.started && !run.timedOut && run.exitCode == expected;
    findings.check(ok, what + " " + run.outcome() + (ok ? "" : ", expected " + std::to_string(expected)));
}

using Footprint = std::vector<footprint::State>;
Footprint report() { return footprint::read(sample::footprint()); }

// Both sides carry the time of their own run in the stamp: a UTC SYSTEMTIME
// and a short date.
std::string masked(const std::string& line) {
    static const std::regex time("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} UTC");
    static const std::regex date("\"[0-9]+[/.-][0-9]+[/.-][0-9]+\"");
    return std::regex_replace(std::regex_replace(line, time, "<time of the run> UTC"), date, "\"<date of the run>\"");
}

// The footprints list the same items with the same states.
void sameFootprint(Findings& findings, const std::string& what, const Footprint& expected, const Footprint& actual) {
    auto line = [](const footprint::State& item) {
        return machine::narrow(item.section + L"\t" + item.label + L"\t" + item.state);
    };
    std::string differences;
    for (std::size_t i = 0; i < actual.size(); ++i) {
        if (i >= expected.size()) {
            differences += "\n        extra item: " + line(actual[i]);
        } else if (masked(line(expected[i])) != masked(line(actual[i]))) {
            differences += "\n        expected: " + line(expected[i]) + "\n          actual: " + line(actual[i]);
        }
    }
    for (std::size_t i = actual.size(); i < expected.size(); ++i) {
        differences += "\n        missing item: " + line(expected[i]);
    }
    findings.check(differences.empty() && !actual.empty(),
                   what + " (" + std::to_string(actual.size()) + " footprint items)" + differences);
}

ULONGLONG now() {
    FILETIME time{};
    GetSystemTimeAsFileTime(&time);
    return (ULONGLONG{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}
constexpr ULONGLONG kSecond = 10000000;

// The 64-bit view's "gmt" and "date" have the stamp's types and sizes, and
// the time lies within the install.
void stampWrittenBy(Findings& findings, ULONGLONG start, ULONGLONG end) {
    const machine::Value gmt = machine::readValue(HKEY_LOCAL_MACHINE, kSubstitute, L"gmt", machine::kView64);
    const std::string said = machine::narrow(machine::describe(gmt));
    ULONGLONG when = 0;
    if (gmt.type == REG_BINARY && gmt.data.size() == sizeof(SYSTEMTIME)) {
        SYSTEMTIME time{};
        FILETIME file{};
        std::copy(gmt.data.begin(), gmt.data.end(), reinterpret_cast<BYTE*>(&time));
        if (SystemTimeToFileTime(&time, &file) != FALSE) {
            when = (ULONGLONG{file.dwHighDateTime} << 32) | file.dwLowDateTime;
        }
    }
    findings.check(when + kSecond >= start && when <= end + kSecond,
                   "HKLM (64-bit view) ...\\Substitute \"gmt\" is a SYSTEMTIME (REG_BINARY, 16 bytes) written "
                   "during the install: " +
                       said);
    const machine::Value date = machine::readValue(HKEY_LOCAL_MACHINE, kSubstitute, L"date", machine::kView64);
    findings.check(date.type == REG_SZ && date.data.size() == 256,
                   "HKLM (64-bit view) ...\\Substitute \"date\" is REG_SZ, 256 bytes: " +
                       machine::narrow(machine::describe(date)));
}

// The footprint after each phase of the hooks run through hookhost on the
// seeded machine, and what hookhost said; made once for each DLL.
struct Oracle {
    Footprint seeded, installed, uninstalled, zudaUninstalled;
    std::vector<std::pair<bool, std::string>> calls;
};

const Oracle& oracleOf(const std::wstring& dll) {
    static std::map<std::wstring, Oracle> oracles;
    auto found = oracles.find(dll);
    if (found != oracles.end()) {
        return found->second;
    }
    Oracle& oracle = oracles[dll];
    auto hook = [&](const char* name) {
        const ChildRun run = runChild(input(L"hookhost.exe"), L"\"" + dll + L"\" " + wide(name), scaledSeconds(120));
        const bool ok = run.started && !run.timedOut && run.exitCode == 0;
        oracle.calls.emplace_back(ok, std::string("hookhost: ") + name +
                                          (ok ? " returned 0 and removed exactly its arguments"
                                              : " " + run.outcome() + ": " + oneLine(run.output)));
    };
    sample::seed();
    oracle.seeded = report();
    hook("DllPostInstall");
    hook("DllCreateTasks");
    oracle.installed = report();
    hook("DllPreUnInstall");
    oracle.uninstalled = report();
    sample::seed();
    hook("DllPostInstall");
    hook("DllCreateTasks");
    hook("DllZudaUnInstall");
    oracle.zudaUninstalled = report();
    return oracle;
}

Findings withOracle(const Oracle& oracle) {
    Findings findings;
    for (const auto& [ok, what] : oracle.calls) {
        findings.check(ok, what);
    }
    return findings;
}

bool sameBytes(const std::wstring& a, const std::wstring& b) {
    const std::string content = machine::readFile(a);
    return !content.empty() && content == machine::readFile(b);
}

// The NSIS sample installed and removed the product twice on the seeded
// machine, once with each removal hook; each hook's result is recorded, one
// "Hook=result" line each, in the file given with /RESULTS=.
Findings nsisCheck(const std::wstring& variant) {
    const std::wstring dll = input(variant + L".dll");
    const std::wstring installer = input(variant + L"-sample.exe");
    const std::wstring results = work(L"results.txt");
    const std::wstring dir = installDir();
    Findings findings = withOracle(oracleOf(dll));

    // One line for the hook, with the expected result; none when nullptr.
    auto recorded = [&](const std::string& hook, const char* expected) {
        const std::string content = machine::readFile(results);
        std::string all;
        std::string lines;
        for (std::size_t at = 0; at < content.size();) {
            const std::size_t end = std::min(content.find('\n', at), content.size());
            const std::string entry = content.substr(at, end - (end > at && content[end - 1] == '\r' ? 1 : 0) - at);
            all += (all.empty() ? "" : " ") + entry;
            lines += entry.rfind(hook + "=", 0) == 0 ? (lines.empty() ? "" : " ") + entry : "";
            at = end + 1;
        }
        if (expected == nullptr) {
            findings.check(lines.empty(), "the uninstaller did not call " + hook + " (results file: " + all + ")");
        } else if (lines == hook + "=" + expected) {
            findings.check(true, "recorded " + lines);
        } else {
            findings.check(false, "recorded '" + (lines.empty() ? "nothing" : lines) + "' for " + hook + ", expected " +
                                      hook + "=" + expected + " (results file: " + all + ")");
        }
    };
    auto install = [&] {
        DeleteFileW(results.c_str());
        exited(findings, "the installer (" + machine::narrow(variant) + "-sample.exe /S)",
               runChild(installer, L"/S /RESULTS=" + results, scaledSeconds(300), work(L"installer.out")));
    };
    // _?= runs the uninstaller in place, so that its exit status is the
    // removal's (without it, it starts a copy of itself in %TEMP% and
    // returns); it must come last and is taken verbatim, spaces and all.
    auto uninstall = [&](const std::wstring& options) {
        DeleteFileW(results.c_str());
        exited(findings, "the uninstaller (uninstall.exe /S " + machine::narrow(options) + "_?=...)",
               runChild(dir + L"\\uninstall.exe", L"/S " + options + L"/RESULTS=" + results + L" _?=" + dir,
                        scaledSeconds(300), work(L"uninstaller.out")));
    };

    sample::seed();
    sameFootprint(findings, "the seed is the oracle's seed", oracleOf(dll).seeded, report());
    machine::removeDirectoryTree(dir);
    const ULONGLONG start = now();
    install();
    const ULONGLONG end = now();
    recorded("DllPostInstall", "0");
    recorded("DllCreateTasks", "0");
    findings.check(machine::fileExists(dir + L"\\installhooks.dll") && machine::fileExists(dir + L"\\product.txt"),
                   "the installer installed installhooks.dll and the product's file into " + machine::narrow(dir));
    findings.check(sameBytes(dll, dir + L"\\installhooks.dll"),
                   "the installed installhooks.dll is the DLL under test (so hookhost's checks hold for it)");
    sameFootprint(findings, "after install the footprint is the oracle's after DllPostInstall and DllCreateTasks",
                  oracleOf(dll).installed, report());
    stampWrittenBy(findings, start, end);

    uninstall(L"");
    recorded("DllPreUnInstall", "0");
    recorded("LoadedAtRemoval", "no");
    findings.check(!machine::fileExists(dir + L"\\installhooks.dll") && !machine::fileExists(dir + L"\\product.txt"),
                   "the uninstaller removed installhooks.dll and the product's file");
    sameFootprint(findings, "after uninstall the footprint is the oracle's after DllPreUnInstall",
                  oracleOf(dll).uninstalled, report());
    // Running in place, the uninstaller cannot delete its own file.
    machine::removeDirectoryTree(dir);

    sample::seed();
    install();
    recorded("DllPostInstall", "0");
    uninstall(L"/ZUDA ");
    recorded("DllZudaUnInstall", "0");
    recorded("DllPreUnInstall", nullptr);
    recorded("LoadedAtRemoval", "no");
    sameFootprint(findings, "after uninstall /ZUDA the footprint is the oracle's after DllZudaUnInstall",
                  oracleOf(dll).zudaUninstalled, report());
    return findings;
}

// msiexec, silent, with a verbose log in the work folder.
struct Msiexec {
    std::string what;
    ChildRun run;
    std::string log;
};
Msiexec msiexec(const std::string& what, const std::wstring& arguments, const std::wstring& log) {
    Msiexec result;
    result.what = what;
    result.run = runChild(systemProgram(L"msiexec.exe"), arguments + L" /qn /l*v \"" + work(log) + L"\"",
                          scaledSeconds(300), work(log + L".out"));
    // Windows writes the log in UTF-16, Wine in the ANSI code page.
    const std::string bytes = machine::readFile(work(log));
    if (bytes.size() >= 2 && (bytes[1] == '\0' || (bytes[0] == '\xff' && bytes[1] == '\xfe'))) {
        const std::size_t skip = bytes[1] == '\0' ? 0 : 2;
        result.log = machine::narrow(std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + skip),
                                                  (bytes.size() - skip) / sizeof(wchar_t)));
    } else {
        result.log = bytes;
    }
    return result;
}

// The last result the log gives for an action (1 success, 3 failure); Wine
// logs a deferred action once when it schedules it and again when it runs it.
void logged(Findings& findings, const Msiexec& run, const std::string& action, const std::string& expected) {
    const std::regex ended("Action ended [0-9:]*: " + action + "\\. Return value ([0-9]*)\\.");
    std::string got = "none";
    for (auto it = std::sregex_iterator(run.log.begin(), run.log.end(), ended); it != std::sregex_iterator(); ++it) {
        got = (*it)[1];
    }
    findings.check(got == expected, "the log of " + run.what + " shows " + action + " ending with return value " + got +
                                        (got == expected ? "" : ", expected " + expected));
}

void notLogged(Findings& findings, const Msiexec& run, const std::string& action) {
    findings.check(run.log.find(": " + action + ".") == std::string::npos,
                   "the log of " + run.what + " shows no " + action);
}

bool packageInstalled() {
    const std::wstring dir = installDir();
    return machine::fileExists(dir + L"\\installhooks.dll") && machine::fileExists(dir + L"\\hookhost.exe") &&
           machine::fileExists(dir + L"\\product.txt");
}

// The Uninstall entry of a 32-bit package, in the 32-bit view.
bool registered() {
    return machine::keyExists(HKEY_LOCAL_MACHINE,
                              std::wstring(L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\") + kProductCode,
                              machine::kView32);
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override { machine::removeDirectoryTree(installDir()); }
    void TearDown() override {
        // A package that a failed check left installed goes the way that
        // needs nothing of its DLL.
        if (MsiQueryProductStateW(kProductCode) == INSTALLSTATE_DEFAULT) {
            msiexec("cleanup", std::wstring(L"/x ") + kProductCode + L" REMOVALHOOK=DllPreUnInstall", L"cleanup.log");
        }
        machine::removeDirectoryTree(installDir());
        sample::clear();
    }
};

}  // namespace

TEST_F(EndToEnd, NsisInstallerCallsEveryHookAsHookhostDoes) {
    const Findings findings = nsisCheck(L"installhooks");
    EXPECT_TRUE(findings.failed().empty()) << findings.text();
}

TEST_F(EndToEnd, NsisCheckRejectsDecoratedExports) {
    const Findings findings = nsisCheck(L"faulty_decorated_exports");
    EXPECT_TRUE(findings.said(true, "hookhost: DllPostInstall exited with 5 .*does not export DllPostInstall"));
    EXPECT_TRUE(findings.said(true, "recorded 'DllPostInstall=error' for DllPostInstall"));
    EXPECT_TRUE(findings.said(true, "recorded 'DllCreateTasks=error' for DllCreateTasks"));
    EXPECT_TRUE(findings.said(true, "recorded 'DllZudaUnInstall=error' for DllZudaUnInstall"));
}

TEST_F(EndToEnd, NsisCheckRejectsAMissingExport) {
    const Findings findings = nsisCheck(L"faulty_missing_export");
    EXPECT_TRUE(findings.said(true, "hookhost: DllZudaUnInstall exited with 5 .*does not export DllZudaUnInstall"));
    EXPECT_TRUE(findings.said(true, "recorded 'DllZudaUnInstall=error' for DllZudaUnInstall"));
    EXPECT_TRUE(findings.said(false, "recorded DllPostInstall=0"));
    EXPECT_TRUE(findings.said(false, "recorded DllPreUnInstall=0"));
}

// The System plug-in puts the stack pointer back after every call, so the
// installer runs a hook with the wrong argument count without noticing and
// records 0; only hookhost's stack check catches it.
TEST_F(EndToEnd, NsisCheckRejectsAWrongArgumentCount) {
    const Findings findings = nsisCheck(L"faulty_argument_count");
    EXPECT_TRUE(
        findings.said(true, "hookhost: DllPostInstall exited with 1 .*removed 4 bytes of arguments, expected 16"));
    EXPECT_TRUE(findings.said(false, "recorded DllPostInstall=0"));
    EXPECT_TRUE(findings.said(false, "after install the footprint is the oracle's"));
}

// Installed and removed twice on the seeded machine: the removal hook is
// DllZudaUnInstall as a DLL custom action, then, with
// REMOVALHOOK=DllPreUnInstall, DllPreUnInstall through hookhost.exe.
TEST_F(EndToEnd, WindowsInstallerCallsEveryHookAsHookhostDoes) {
    const std::wstring dll = input(L"installhooks.dll");
    const std::wstring package = L"\"" + input(L"installhooks-sample.msi") + L"\"";
    const std::wstring dir = installDir();
    Findings findings = withOracle(oracleOf(dll));

    sample::seed();
    sameFootprint(findings, "the seed is the oracle's seed", oracleOf(dll).seeded, report());
    const ULONGLONG start = now();
    const Msiexec install = msiexec("msiexec /i", L"/i " + package, L"msi-1-install.log");
    const ULONGLONG end = now();
    exited(findings, install.what, install.run);
    logged(findings, install, "HookPostInstall", "1");
    logged(findings, install, "HookCreateTasks", "1");
    findings.check(packageInstalled(), "the package installed installhooks.dll, hookhost.exe and product.txt");
    findings.check(sameBytes(dll, dir + L"\\installhooks.dll"), "the installed installhooks.dll is the DLL under test");
    findings.check(registered(), "the package registered the product (its Uninstall entry)");
    sameFootprint(findings, "after install the footprint is the oracle's after DllPostInstall and DllCreateTasks",
                  oracleOf(dll).installed, report());
    stampWrittenBy(findings, start, end);

    const Msiexec remove = msiexec("msiexec /x", L"/x " + package, L"msi-2-remove.log");
    exited(findings, remove.what, remove.run);
    logged(findings, remove, "HookZudaUnInstall", "1");
    notLogged(findings, remove, "HookPreUnInstall");
    findings.check(!machine::directoryExists(dir), "the removal took the product's files and folder");
    findings.check(!registered(), "the removal took the product's registration");
    sameFootprint(findings, "after removal the footprint is the oracle's after DllZudaUnInstall",
                  oracleOf(dll).zudaUninstalled, report());

    sample::seed();
    const Msiexec again = msiexec("msiexec /i", L"/i " + package, L"msi-3-install.log");
    exited(findings, again.what, again.run);
    const Msiexec preRemove = msiexec("msiexec /x REMOVALHOOK=DllPreUnInstall",
                                      L"/x " + package + L" REMOVALHOOK=DllPreUnInstall", L"msi-4-remove.log");
    exited(findings, preRemove.what, preRemove.run);
    logged(findings, preRemove, "HookPreUnInstall", "1");
    notLogged(findings, preRemove, "HookZudaUnInstall");
    findings.check(!machine::directoryExists(dir), "the removal took the product's files and folder");
    sameFootprint(findings, "after removal the footprint is the oracle's after DllPreUnInstall",
                  oracleOf(dll).uninstalled, report());
    EXPECT_TRUE(findings.failed().empty()) << findings.text();
}

// A removal hook that returns 1603 fails the removal, which Windows Installer
// rolls back; the product then goes with the other removal hook.
TEST_F(EndToEnd, WindowsInstallerRollsBackAFailingRemoval) {
    const std::wstring package = L"\"" + input(L"faulty_failing_removal-sample.msi") + L"\"";
    Findings findings;
    const Msiexec install = msiexec("msiexec /i", L"/i " + package, L"rollback-1-install.log");
    exited(findings, install.what, install.run);
    const Msiexec remove = msiexec("msiexec /x", L"/x " + package, L"rollback-2-remove.log");
    exited(findings, remove.what, remove.run, ERROR_INSTALL_FAILURE);
    // Windows logs a failed action's result as 3; Wine 8 logs 0 for any failure.
    logged(findings, remove, "HookZudaUnInstall", testing_support::onWine() ? "0" : "3");
    findings.check(packageInstalled(), "the failed removal left the product's files installed");
    // Windows restores the product's registration with the rest; Wine 8's
    // rollback of a removal leaves it deleted (its Uninstall entry, and
    // the product as Windows Installer knows it).
    const INSTALLSTATE state = MsiQueryProductStateW(kProductCode);
    const std::string said = std::string(registered() ? "an" : "no") + " Uninstall entry, product state " +
                             std::to_string(state) + " (5 installed)";
    findings.check(testing_support::onWine() ? !registered() && state != INSTALLSTATE_DEFAULT
                                             : registered() && state == INSTALLSTATE_DEFAULT,
                   testing_support::onWine() ? "the rollback left the product unregistered (Wine 8 only): " + said
                                             : "the rollback restored the product's registration: " + said);
    const Msiexec preRemove = msiexec("msiexec /x REMOVALHOOK=DllPreUnInstall",
                                      L"/x " + package + L" REMOVALHOOK=DllPreUnInstall", L"rollback-3-remove.log");
    exited(findings, preRemove.what, preRemove.run);
    logged(findings, preRemove, "HookPreUnInstall", "1");
    findings.check(!machine::directoryExists(installDir()), "then the product's files and folder are gone");
    EXPECT_TRUE(findings.failed().empty()) << findings.text();
}
