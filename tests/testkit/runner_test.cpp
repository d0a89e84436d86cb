// The test kit's runner (tools/testkit): a program passes only when it
// exits with 0 after writing its whole XML report; one that runs past its
// limit is killed; what tests leave behind goes, and what was there before
// stays. The programs judged here are this one, running a case of its own.

#include <gtest/gtest.h>

#include <windows.h>
#include <msi.h>

#include "machine/hives.h"
#include "machine/machine.h"
#include "testkit/reports.h"
#include "testkit/runner.h"

namespace {

using testkit::ProgramResult;

// The cases the judged children run; disabled, so that they run only there.
TEST(Child, DISABLED_Fails) { FAIL() << "as the runner's test asks"; }
TEST(Child, DISABLED_EndsWithZeroBeforeItsReport) { ExitProcess(0); }
// The status a crash ends with, without a crash, whose line from Wine would
// make the runner of this program count it as crashed.
TEST(Child, DISABLED_EndsWithAnAccessViolationsStatus) { ExitProcess(0xC0000005); }
TEST(Child, DISABLED_RunsForever) { Sleep(INFINITE); }
TEST(Child, DISABLED_Skips) { GTEST_SKIP() << "only where \"it\" <applies>"; }

class Runner : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t path[MAX_PATH];
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        self_ = path;
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder_ = std::wstring(temp) + L"testkit-runner-" + std::to_wstring(GetCurrentProcessId());
        ASSERT_TRUE(machine::createDirectories(folder_));
    }
    void TearDown() override { machine::removeDirectoryTree(folder_); }

    // This program running `child` (a filter) as the kit runs a program.
    ProgramResult judge(const std::wstring& child, double limit = 120) {
        ProgramResult result;
        result.name = "child";
        result.listed = 3;
        const std::wstring report = folder_ + L"\\report.xml";
        const testkit::ChildRun run =
            testkit::runChild(self_,
                              L"--gtest_also_run_disabled_tests --gtest_catch_exceptions=0 --gtest_filter=" + child +
                                  L" \"--gtest_output=xml:" + report + L"\"",
                              folder_, folder_ + L"\\output.log", limit);
        result.started = run.started;
        result.timedOut = run.timedOut;
        result.exitCode = run.exitCode;
        result.seconds = run.seconds;
        result.limit = limit;
        testkit::readReport(report, result);
        return result;
    }

    std::wstring self_;
    std::wstring folder_;
};

TEST_F(Runner, AProgramThatExitsWithZeroAfterItsReportPasses) {
    const ProgramResult r = judge(L"NoSuchCase");
    EXPECT_TRUE(r.passed()) << r.detail();
    EXPECT_EQ("passed", r.verdict());
    EXPECT_EQ(0, r.failedCases());
}

TEST_F(Runner, ASkippedCaseIsNeitherPassedNorFailedAndSaysWhy) {
    const ProgramResult r = judge(L"Child.DISABLED_Skips:NoSuchCase");
    EXPECT_TRUE(r.passed()) << r.detail();
    EXPECT_EQ(0, r.passedCases());
    EXPECT_EQ(0, r.failedCases());
    EXPECT_EQ(0u, r.detail().find("1 cases, 1 skipped, 1 disabled (only where \"it\" <applies>) (")) << r.detail();
}

TEST_F(Runner, AFailedCaseFailsTheProgramAndIsCounted) {
    const ProgramResult r = judge(L"Child.DISABLED_Fails");
    EXPECT_EQ("FAILED", r.verdict());
    EXPECT_EQ(1u, r.exitCode);
    EXPECT_EQ(1, r.failedCases());
    const std::string junit = testkit::junit({r});
    EXPECT_NE(std::string::npos, junit.find("<testsuite name=\"child.Child\" tests=\"1\" failures=\"1\"")) << junit;
}

TEST_F(Runner, ExitCodeZeroWithoutAReportIsACrash) {
    const ProgramResult r = judge(L"Child.DISABLED_EndsWithZeroBeforeItsReport");
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_FALSE(r.reported);
    EXPECT_EQ("CRASHED", r.verdict());
    EXPECT_EQ("exit code 0x00000000, no complete XML report: ended before reporting; 3 cases not reported",
              r.detail().substr(0, r.detail().find(" (")));
    EXPECT_EQ(3, r.failedCases());
}

TEST_F(Runner, AnExceptionsStatusShowsInHex) {
    const ProgramResult r = judge(L"Child.DISABLED_EndsWithAnAccessViolationsStatus");
    EXPECT_EQ("CRASHED", r.verdict());
    EXPECT_EQ(0xC0000005u, r.exitCode) << r.detail();
    EXPECT_EQ(0u, r.detail().find("exit code 0xC0000005, no complete XML report")) << r.detail();
}

TEST_F(Runner, AProgramPastItsLimitIsKilled) {
    const ProgramResult r = judge(L"Child.DISABLED_RunsForever", 2);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ("TIMEOUT", r.verdict());
    EXPECT_LT(r.seconds, 30);
    // Killed: its files can go at once.
    EXPECT_TRUE(machine::removeDirectoryTree(folder_));
}

TEST_F(Runner, AReportCutShortIsNoReport) {
    const std::wstring report = folder_ + L"\\cut.xml";
    ASSERT_TRUE(machine::writeFile(report, "<?xml version=\"1.0\"?>\n<testsuites tests=\"3\" failures=\"0\">\n  "));
    ProgramResult r;
    testkit::readReport(report, r);
    EXPECT_FALSE(r.reported);
}

TEST(Leftovers, WhatAppearsAfterTheFirstLookGoesAndWhatWasThereStays) {
    const std::wstring drive = machine::shellFolder(0x24 /* CSIDL_WINDOWS */).substr(0, 2);
    const std::wstring kept = drive + L"\\KorvanTestkitKept";
    const std::wstring left = drive + L"\\KorvanTestkitLeft";
    ASSERT_TRUE(machine::createDirectories(kept));
    ASSERT_TRUE(machine::deleteTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvan", machine::kView32));
    const testkit::Leftovers leftovers;
    ASSERT_TRUE(machine::createDirectories(left + L"\\deeper"));
    // A hive mounted from a file inside the folder: unmounted before the folder goes.
    ASSERT_TRUE(machine::writeHiveFile(left + L"\\hive.dat", [](HKEY, const std::wstring&) {}));
    ASSERT_TRUE(machine::loadHive(L"KorvanTestkitHive", left + L"\\hive.dat"));
    ASSERT_TRUE(machine::createKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvan\\ZTB", machine::kView32));

    const std::vector<std::string> removed = leftovers.remove();
    EXPECT_EQ((std::vector<std::string>{"HKU\\KorvanTestkitHive", "HKLM32\\SOFTWARE\\Korvan", machine::narrow(left)}),
              removed);
    EXPECT_FALSE(machine::hiveLoaded(L"KorvanTestkitHive"));
    EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvan", machine::kView32));
    EXPECT_FALSE(machine::directoryExists(left));
    EXPECT_TRUE(machine::directoryExists(kept));
    machine::removeDirectoryTree(kept);
}

// The sample package, from the folder of the end-to-end inputs: the one
// INSTALLHOOKS_E2E_DIR names, else this program's own (as in the kit).
TEST(Leftovers, ASamplePackageInstalledDuringTheRunIsRemoved) {
    const wchar_t product[] = L"{B3A90066-11D2-49CE-A6AA-EBF0311D9C7D}";
    wchar_t folder[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"INSTALLHOOKS_E2E_DIR", folder, MAX_PATH) == 0) {
        GetModuleFileNameW(nullptr, folder, MAX_PATH);
        *wcsrchr(folder, L'\\') = 0;
    }
    const std::wstring package = std::wstring(folder) + L"\\installhooks-sample.msi";
    ASSERT_TRUE(machine::fileExists(package)) << machine::narrow(package);
    ASSERT_NE(INSTALLSTATE_DEFAULT, MsiQueryProductStateW(product));
    const testkit::Leftovers leftovers;
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    ASSERT_EQ(ERROR_SUCCESS, MsiInstallProductW(package.c_str(), L""));
    ASSERT_EQ(INSTALLSTATE_DEFAULT, MsiQueryProductStateW(product));

    const std::vector<std::string> removed = leftovers.remove();
    ASSERT_FALSE(removed.empty());
    EXPECT_EQ("MSI\\" + machine::narrow(product), removed.front());
    EXPECT_NE(INSTALLSTATE_DEFAULT, MsiQueryProductStateW(product));
    EXPECT_FALSE(
        machine::directoryExists(machine::shellFolder(0x26 /* CSIDL_PROGRAM_FILES */) + L"\\Korvan Hook Sample"));
}

}  // namespace
