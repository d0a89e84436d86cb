// The install date stamp: "gmt" and "date" in the product's Substitute key,
// 64-bit view only, never creating the key.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "postinstall/postinstall.h"
#include "support/fixtures.h"
#include "support/handle_ledger.h"
#include "support/platform.h"

using machine::kView32;
using machine::kView64;
using testing_support::HandleLedger;

namespace {

const wchar_t kSubstitute[] = L"Software\\Korvan\\ZTB\\AppInfo\\Substitute";

ULONGLONG asFileTime(const SYSTEMTIME& time) {
    FILETIME file{};
    SystemTimeToFileTime(&time, &file);
    return (static_cast<ULONGLONG>(file.dwHighDateTime) << 32) | file.dwLowDateTime;
}

class StampInstallDate : public testing_support::ProductKeysTest {};

// The calls of the step, in the order they are made, with the value each
// write and deletion names: the date is taken before the time, and each
// value deleted before it is written.
const std::vector<std::string> kStepCalls = {"GetDateFormatW",      "GetSystemTime",      "RegOpenKeyExW",
                                             "RegDeleteValueW gmt", "RegSetValueExW gmt", "RegDeleteValueW date",
                                             "RegSetValueExW date"};
void logStepCalls(HandleLedger& ledger, std::vector<std::string>& calls) {
    ledger.observe([&calls](std::size_t, const std::string& function, const DWORD* arguments) {
        if (function == "RegDeleteValueW" || function == "RegSetValueExW") {
            calls.push_back(function + " " + machine::narrow(testing_support::textArgument(arguments, 1)));
        } else if (function == "GetDateFormatW" || function == "GetSystemTime" || function == "RegOpenKeyExW") {
            calls.push_back(function);
        }
    });
}

}  // namespace

TEST_F(StampInstallDate, WritesGmtAndDateIntoThe64BitViewOnly) {
    ASSERT_TRUE(machine::createKey(HKEY_LOCAL_MACHINE, kSubstitute, kView64));
    ASSERT_TRUE(machine::setString(HKEY_LOCAL_MACHINE, kSubstitute, L"lang", L"en-US", kView32));
    const std::vector<std::wstring> view32Before = machine::dumpTree(HKEY_LOCAL_MACHINE, L"Software\\Korvan", kView32);

    installhooks::stampInstallDate();

    EXPECT_TRUE(machine::valueExists(HKEY_LOCAL_MACHINE, kSubstitute, L"gmt", kView64));
    EXPECT_TRUE(machine::valueExists(HKEY_LOCAL_MACHINE, kSubstitute, L"date", kView64));
    if (testing_support::twoRegistryViews()) {
        EXPECT_EQ(view32Before, machine::dumpTree(HKEY_LOCAL_MACHINE, L"Software\\Korvan", kView32));
    } else {
        EXPECT_EQ((std::vector<std::wstring>{L"date", L"gmt", L"lang"}),
                  machine::valueNames(HKEY_LOCAL_MACHINE, kSubstitute, kView32))
            << "32-bit Windows: one registry view, so the stamp is in the key that holds \"lang\"";
    }
}

TEST_F(StampInstallDate, WithoutTheSubstituteKeyCreatesNothingInEitherView) {
    ASSERT_TRUE(machine::createKey(HKEY_LOCAL_MACHINE, L"Software\\Korvan\\ZTB\\AppInfo", kView64));

    installhooks::stampInstallDate();

    EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, kSubstitute, kView64));
    EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, kSubstitute, kView32));
    EXPECT_EQ(std::vector<std::wstring>{},
              machine::subkeyNames(HKEY_LOCAL_MACHINE, L"Software\\Korvan\\ZTB\\AppInfo", kView64));
}

TEST_F(StampInstallDate, ReplacesOldValuesOfAnyTypeAndSize) {
    ASSERT_TRUE(machine::setDword(HKEY_LOCAL_MACHINE, kSubstitute, L"gmt", 7, kView64));
    ASSERT_TRUE(machine::setBinary(HKEY_LOCAL_MACHINE, kSubstitute, L"date", std::vector<BYTE>(400, 0x41), kView64));

    installhooks::stampInstallDate();

    const machine::Value gmt = machine::readValue(HKEY_LOCAL_MACHINE, kSubstitute, L"gmt", kView64);
    const machine::Value date = machine::readValue(HKEY_LOCAL_MACHINE, kSubstitute, L"date", kView64);
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), gmt.type);
    EXPECT_EQ(16U, gmt.data.size());
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), date.type);
    EXPECT_EQ(256U, date.data.size());
}

TEST_F(StampInstallDate, GmtIsTheCurrentUtcTimeAndDateTheLocalShortDatePaddedTo256Bytes) {
    ASSERT_TRUE(machine::createKey(HKEY_LOCAL_MACHINE, kSubstitute, kView64));
    SYSTEMTIME before{};
    GetSystemTime(&before);

    installhooks::stampInstallDate();

    SYSTEMTIME after{};
    GetSystemTime(&after);
    const machine::Value gmt = machine::readValue(HKEY_LOCAL_MACHINE, kSubstitute, L"gmt", kView64);
    ASSERT_EQ(sizeof(SYSTEMTIME), gmt.data.size());
    SYSTEMTIME stamped{};
    std::memcpy(&stamped, gmt.data.data(), sizeof stamped);
    EXPECT_LE(asFileTime(before), asFileTime(stamped));
    EXPECT_GE(asFileTime(after), asFileTime(stamped));

    wchar_t today[128] = {};
    ASSERT_GT(GetDateFormatW(LOCALE_USER_DEFAULT, 0, nullptr, nullptr, today, 128), 0);
    const machine::Value date = machine::readValue(HKEY_LOCAL_MACHINE, kSubstitute, L"date", kView64);
    ASSERT_EQ(256U, date.data.size());
    EXPECT_EQ(std::wstring(today), date.text());
    const std::size_t textBytes = (std::wcslen(today) + 1) * sizeof(wchar_t);
    for (std::size_t i = textBytes; i < date.data.size(); ++i) {
        ASSERT_EQ(0, date.data[i]) << "byte " << i << " after the date text";
    }
}

TEST_F(StampInstallDate, TakesTheDateBeforeTheTimeAndReplacesEachValueByDeletingItFirst) {
    ASSERT_TRUE(machine::createKey(HKEY_LOCAL_MACHINE, kSubstitute, kView64));
    std::vector<std::string> calls;
    {
        HandleLedger ledger;
        logStepCalls(ledger, calls);
        installhooks::stampInstallDate();
    }
    EXPECT_EQ(kStepCalls, calls);
}

TEST_F(StampInstallDate, OpensTheKeyWithFullAccessInThe64BitViewAndClosesIt) {
    ASSERT_TRUE(machine::createKey(HKEY_LOCAL_MACHINE, kSubstitute, kView64));
    HandleLedger ledger;
    installhooks::stampInstallDate();
    ASSERT_EQ(1U, ledger.opens().size());
    EXPECT_EQ(HKEY_LOCAL_MACHINE, ledger.opens()[0].parent);
    EXPECT_EQ(kSubstitute, ledger.opens()[0].path);
    EXPECT_EQ(static_cast<REGSAM>(0xF013F), ledger.opens()[0].access);
    EXPECT_EQ(1, ledger.keyCloses());
    EXPECT_EQ(0U, ledger.openCount());
}

TEST_F(StampInstallDate, AFailingOpenWritesNothingAndLeavesNothingOpen) {
    ASSERT_TRUE(machine::setDword(HKEY_LOCAL_MACHINE, kSubstitute, L"gmt", 7, kView64));
    const std::vector<std::wstring> before = machine::dumpTree(HKEY_LOCAL_MACHINE, L"Software\\Korvan", kView64);
    {
        HandleLedger ledger;
        ledger.failOpen(kSubstitute, ERROR_ACCESS_DENIED);
        installhooks::stampInstallDate();
        EXPECT_EQ(0U, ledger.openCount());
        EXPECT_EQ(0, ledger.keyCloses());
    }
    EXPECT_EQ(before, machine::dumpTree(HKEY_LOCAL_MACHINE, L"Software\\Korvan", kView64));
}

TEST_F(StampInstallDate, AFailingWriteStillMakesTheRemainingCallsAndClosesTheKey) {
    ASSERT_TRUE(machine::setString(HKEY_LOCAL_MACHINE, kSubstitute, L"date", L"old", kView64));
    std::vector<std::string> calls;
    {
        HandleLedger ledger;
        logStepCalls(ledger, calls);
        ledger.failEvery("RegSetValueExW");
        installhooks::stampInstallDate();
        EXPECT_TRUE(ledger.injected());
        EXPECT_EQ(1, ledger.keyCloses());
        EXPECT_EQ(0U, ledger.openCount());
    }
    EXPECT_EQ(kStepCalls, calls);
    // The old value was deleted before the failed write.
    EXPECT_FALSE(machine::valueExists(HKEY_LOCAL_MACHINE, kSubstitute, L"date", kView64));
}
