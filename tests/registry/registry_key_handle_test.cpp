// RegistryKey as an owner: which handles openKey, closeKey and destruction
// close, and how often, counted through the test program's import table.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "machine/machine.h"
#include "registry/RegistryKey.h"
#include "registry/registry_support.h"
#include "support/handle_ledger.h"

using installhooks::RegistryKey;
using registry_testing::kScratch;
using testing_support::HandleLedger;

namespace {

const std::wstring kFirst = std::wstring(kScratch) + L"\\First";
const std::wstring kSecond = std::wstring(kScratch) + L"\\Second";

class OpenKey : public registry_testing::ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        // First (which = first), Second (which = second), Second\Child (which = child)
        ASSERT_TRUE(machine::setString(HKEY_CURRENT_USER, kFirst, L"which", L"first"));
        ASSERT_TRUE(machine::setString(HKEY_CURRENT_USER, kSecond, L"which", L"second"));
        ASSERT_TRUE(machine::setString(HKEY_CURRENT_USER, kSecond + L"\\Child", L"which", L"child"));
    }

    static std::wstring which(HKEY key) {
        wchar_t text[32] = {};
        DWORD size = sizeof text - sizeof(wchar_t);
        if (RegQueryValueExW(key, L"which", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size) != 0) {
            return L"(unreadable)";
        }
        return text;
    }
};

}  // namespace

TEST_F(OpenKey, AFailedOpenLeavesTheHeldKeyHeldAndUsable) {
    RegistryKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.openKey(HKEY_CURRENT_USER, kFirst.c_str(), KEY_READ | KEY_WRITE));
    const HKEY held = key.handle();
    HandleLedger ledger;

    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              key.openKey(HKEY_CURRENT_USER, (std::wstring(kScratch) + L"\\Missing").c_str(), KEY_READ));
    ledger.failOpen(L"Second", ERROR_ACCESS_DENIED);
    EXPECT_EQ(ERROR_ACCESS_DENIED, key.openKey(HKEY_CURRENT_USER, kSecond.c_str(), KEY_READ | KEY_WOW64_64KEY));

    EXPECT_EQ(held, key.handle());
    EXPECT_EQ(0U, key.view());
    EXPECT_EQ(0, ledger.keyCloses());
    EXPECT_EQ(L"first", which(key.handle()));
    const DWORD written = 5;
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key.handle(), L"written", 0, REG_DWORD,
                                            reinterpret_cast<const BYTE*>(&written), sizeof written));
    EXPECT_TRUE(machine::valueExists(HKEY_CURRENT_USER, kFirst, L"written"));
}

TEST_F(OpenKey, ASuccessfulOpenClosesTheOldHandleExactlyOnceAlsoWhenItIsTheParent) {
    HandleLedger ledger;
    RegistryKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.openKey(HKEY_CURRENT_USER, kFirst.c_str(), KEY_READ));
    ASSERT_EQ(ERROR_SUCCESS, key.openKey(HKEY_CURRENT_USER, kSecond.c_str(), KEY_READ));
    EXPECT_EQ(1, ledger.keyCloses());
    EXPECT_EQ(1U, ledger.openCount());
    EXPECT_EQ(L"second", which(key.handle()));

    // Descending one level: the parent handle is closed only after the child
    // opened through it.
    ASSERT_EQ(ERROR_SUCCESS, key.openKey(key.handle(), L"Child", KEY_READ));
    EXPECT_EQ(2, ledger.keyCloses());
    EXPECT_EQ(1U, ledger.openCount());
    EXPECT_EQ(L"child", which(key.handle()));

    EXPECT_EQ(ERROR_SUCCESS, key.closeKey());
    EXPECT_EQ(0U, ledger.openCount());
    EXPECT_EQ(0, ledger.strayCloses());
}

TEST_F(OpenKey, RemembersTheViewBitsOfTheMaskOnly) {
    RegistryKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.openKey(HKEY_LOCAL_MACHINE, L"Software", KEY_READ | KEY_WOW64_64KEY));
    EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_64KEY), key.view());
    ASSERT_EQ(ERROR_SUCCESS, key.openKey(HKEY_LOCAL_MACHINE, L"Software", KEY_READ | KEY_WOW64_32KEY));
    EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_32KEY), key.view());
    ASSERT_EQ(ERROR_SUCCESS, key.openKey(HKEY_CURRENT_USER, kFirst.c_str(), KEY_ALL_ACCESS));
    EXPECT_EQ(0U, key.view());
    ASSERT_EQ(ERROR_SUCCESS, key.openKey(HKEY_LOCAL_MACHINE, L"Software", KEY_READ | KEY_WOW64_64KEY));
    EXPECT_EQ(ERROR_SUCCESS, key.closeKey());
    EXPECT_EQ(nullptr, key.handle());
    EXPECT_EQ(0U, key.view());
}

TEST_F(OpenKey, CloseKeyTwiceClosesOnceAndAnEmptyObjectClosesNothing) {
    HandleLedger ledger;
    RegistryKey key;
    EXPECT_EQ(ERROR_SUCCESS, key.closeKey());
    EXPECT_EQ(0, ledger.keyCloses());

    ASSERT_EQ(ERROR_SUCCESS, key.openKey(HKEY_CURRENT_USER, kFirst.c_str(), KEY_READ));
    EXPECT_EQ(ERROR_SUCCESS, key.closeKey());
    EXPECT_EQ(ERROR_SUCCESS, key.closeKey());
    EXPECT_EQ(nullptr, key.handle());
    EXPECT_EQ(1, ledger.keyCloses());
    EXPECT_EQ(0, ledger.strayCloses());
    EXPECT_EQ(0U, ledger.openCount());
}

TEST_F(OpenKey, DestructionClosesTheHeldKeyAndNothingElse) {
    HandleLedger ledger;
    {
        RegistryKey empty;
        RegistryKey holding;
        ASSERT_EQ(ERROR_SUCCESS, holding.openKey(HKEY_CURRENT_USER, kFirst.c_str(), KEY_READ));
        EXPECT_EQ(1U, ledger.openCount());
    }
    EXPECT_EQ(1, ledger.keyCloses());
    EXPECT_EQ(0, ledger.strayCloses());
    EXPECT_EQ(0U, ledger.openCount());
}

TEST_F(OpenKey, ANullNameOpensANewHandleToTheParent) {
    RegistryKey parent;
    ASSERT_EQ(ERROR_SUCCESS, parent.openKey(HKEY_CURRENT_USER, kSecond.c_str(), KEY_READ));
    RegistryKey again;
    ASSERT_EQ(ERROR_SUCCESS, again.openKey(parent.handle(), nullptr, KEY_READ));
    EXPECT_NE(parent.handle(), again.handle());
    parent.closeKey();
    EXPECT_EQ(L"second", which(again.handle()));
}
