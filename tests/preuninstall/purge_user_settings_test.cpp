// The per-user settings purge: the product's settings key "ZTB" and, where it
// is left empty, the maker's key go from user hives; the Run value
// "DelayShred" goes from the current user's and the mounted profile's Run key.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "machine/hives.h"
#include "machine/machine.h"
#include "preuninstall/preuninstall.h"
#include "support/handle_ledger.h"
#include "support/platform.h"
#include "support/registry_link.h"
#include "user_hives.h"

using machine::dumpTree;
using machine::keyExists;
using machine::valueExists;
using preuninstall_test::clearCurrentUser;
using preuninstall_test::holdsProduct;
using preuninstall_test::join;
using preuninstall_test::kCurrentUserHive;
using preuninstall_test::kMountName;
using preuninstall_test::kRunKey;
using preuninstall_test::seedUserSettings;
using preuninstall_test::TestHive;
using preuninstall_test::withoutProduct;
using testing_support::HandleLedger;

namespace {

const wchar_t kUserHive[] = L"S-1-5-21-7000-7000-7000-1001";

class PurgeHiveSettings : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(hive.mounted()); }

    std::wstring path(const wchar_t* sub) const { return join(kUserHive, sub); }

    TestHive hive{kUserHive};
};

class CurrentUserTest : public ::testing::Test {
protected:
    void SetUp() override { clearCurrentUser(); }
    void TearDown() override { clearCurrentUser(); }
};

}  // namespace

TEST_F(PurgeHiveSettings, AHiveWithoutTheMakersKeyIsLeftAsItIs) {
    seedUserSettings(HKEY_USERS, kUserHive);
    ASSERT_TRUE(machine::deleteTree(HKEY_USERS, path(L"Software\\Korvan")));
    const std::vector<std::wstring> before = hive.dump();
    HandleLedger ledger;

    EXPECT_FALSE(installhooks::purgeHiveSettings(kUserHive));

    EXPECT_EQ(before, hive.dump());
    EXPECT_EQ(0U, ledger.openCount());
}

TEST_F(PurgeHiveSettings, AHiveThatIsNotLoadedIsNoFailure) {
    HandleLedger ledger;
    EXPECT_FALSE(installhooks::purgeHiveSettings(L"S-1-5-21-7000-7000-7000-1999"));
    EXPECT_EQ(0U, ledger.openCount());
}

TEST_F(PurgeHiveSettings, TheSettingsGoAndTheMakersKeyWithThemWhenNothingElseIsInIt) {
    // S-1-5-21-...-1001
    //   Software
    //     Korvan
    //       ZTB  (values; Eraser\Schedule, Empty)
    //     KorvanTestNeighbour
    //   Software\Microsoft\Windows\CurrentVersion\Run  (DelayShred, ...)
    seedUserSettings(HKEY_USERS, kUserHive);
    const std::vector<std::wstring> before = hive.dump();
    HandleLedger ledger;

    EXPECT_TRUE(installhooks::purgeHiveSettings(kUserHive));

    EXPECT_FALSE(keyExists(HKEY_USERS, path(L"Software\\Korvan")));
    // Everything else stays, the Run value included.
    EXPECT_EQ(withoutProduct(before, false), hive.dump());
    EXPECT_TRUE(valueExists(HKEY_USERS, path(kRunKey), L"DelayShred"));
    EXPECT_EQ(0U, ledger.openCount());
    EXPECT_EQ(0, ledger.strayCloses());
}

TEST_F(PurgeHiveSettings, TheMakersKeyStaysWhileItHoldsAnotherSubkeyOrAnyValue) {
    struct Case {
        const wchar_t* name;
        void (*addOther)(const std::wstring& maker);
    };
    const Case cases[] = {
        {L"another product's key",
         [](const std::wstring& maker) { machine::createKey(HKEY_USERS, join(maker, L"ZHN")); }},
        {L"a value", [](const std::wstring& maker) { machine::setString(HKEY_USERS, maker, L"Owner", L"someone"); }},
        {L"a default value", [](const std::wstring& maker) { machine::setString(HKEY_USERS, maker, L"", L"x"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring maker = path(L"Software\\Korvan");
        ASSERT_TRUE(machine::deleteTree(HKEY_USERS, maker));
        seedUserSettings(HKEY_USERS, kUserHive);
        c.addOther(maker);
        std::vector<std::wstring> expected = dumpTree(HKEY_USERS, maker);
        expected.erase(std::remove_if(expected.begin(), expected.end(),
                                      [](const std::wstring& line) { return line.find(L"ZTB") != std::wstring::npos; }),
                       expected.end());

        EXPECT_TRUE(installhooks::purgeHiveSettings(kUserHive));

        EXPECT_FALSE(keyExists(HKEY_USERS, join(maker, L"ZTB")));
        EXPECT_EQ(expected, dumpTree(HKEY_USERS, maker));
    }
}

TEST_F(PurgeHiveSettings, AMakersKeyWithoutTheSettingsStaysEvenWhenEmpty) {
    const std::wstring maker = path(L"Software\\Korvan");
    ASSERT_TRUE(machine::createKey(HKEY_USERS, maker));

    EXPECT_FALSE(installhooks::purgeHiveSettings(kUserHive));
    EXPECT_TRUE(keyExists(HKEY_USERS, maker));

    // The same when another key of the maker's is all there is.
    ASSERT_TRUE(machine::createKey(HKEY_USERS, join(maker, L"ZHN")));
    EXPECT_FALSE(installhooks::purgeHiveSettings(kUserHive));
    EXPECT_TRUE(keyExists(HKEY_USERS, join(maker, L"ZHN")));
}

TEST_F(PurgeHiveSettings, AMakersKeyThatIsALinkIsNotFollowed) {
    // The hive's owner makes Software\Korvan a link to a key that holds a
    // "ZTB" of its own: one beside "Software" in the same hive, which every
    // platform follows, and one in HKLM, which Windows does not follow from a
    // user's hive. The elevated purge must delete neither that "ZTB" nor,
    // once it would be empty, the target key itself.
    struct Target {
        HKEY root;
        std::wstring path;
        REGSAM view;
        bool followed;
        const char* why;
    };
    const bool wine = testing_support::onWine();
    const Target targets[] = {
        {HKEY_USERS, path(L"KorvanLinkTarget"), 0, true, "a link inside one hive is followed"},
        {HKEY_LOCAL_MACHINE, L"Software\\KorvanLinkTarget", machine::kView64, wine,
         wine ? "Wine divergence: Wine follows a link from a user's hive into HKLM"
              : "Windows: a link from a user's hive into HKLM is not followed"},
    };
    const std::wstring maker = path(L"Software\\Korvan");
    for (const Target& target : targets) {
        SCOPED_TRACE(target.why);
        ASSERT_TRUE(machine::setDword(target.root, join(target.path, L"ZTB"), L"Target", 1, target.view));
        const std::vector<std::wstring> before = dumpTree(target.root, target.path, target.view);
        ASSERT_TRUE(testing_support::createLink(HKEY_USERS, maker,
                                                testing_support::absoluteName(target.root, target.path, target.view)));
        ASSERT_EQ(target.followed, keyExists(HKEY_USERS, join(maker, L"ZTB")));

        EXPECT_FALSE(installhooks::purgeHiveSettings(kUserHive));

        EXPECT_EQ(before, dumpTree(target.root, target.path, target.view));
        EXPECT_TRUE(testing_support::linkExists(HKEY_USERS, maker)) << "the link itself stays";
        testing_support::removeLink(HKEY_USERS, maker);
        machine::deleteTree(target.root, target.path, target.view);
    }
}

TEST_F(PurgeHiveSettings, RunningAgainChangesNothing) {
    seedUserSettings(HKEY_USERS, kUserHive);
    EXPECT_TRUE(installhooks::purgeHiveSettings(kUserHive));
    const std::vector<std::wstring> after = hive.dump();

    EXPECT_FALSE(installhooks::purgeHiveSettings(kUserHive));
    EXPECT_EQ(after, hive.dump());
}

TEST_F(CurrentUserTest, TheCurrentUsersHiveIsTheOneNamedForItBelowHkeyUsers) {
    // The walk reaches the current user's settings only under this name.
    ASSERT_TRUE(machine::setString(HKEY_CURRENT_USER, L"Software\\Korvan\\ZTB", L"Probe", L"hkcu"));
    EXPECT_EQ(L"hkcu",
              machine::readValue(HKEY_USERS, join(kCurrentUserHive, L"Software\\Korvan\\ZTB"), L"Probe").text());
}

// Below HKEY_USERS while the walk runs: the current user's hive, and
//   S-1-5-21-7000-7000-7000-1001            purged, its Run value stays
//   S-1-5-21-7000-7000-7000-1002            purged
//   S-1-5-21-7000-7000-7000-1001_Classes    never purged
//   S-1-5-21-7000-7000-7000-1002_classes    purged: the test is case-sensitive
//   S-1-5-2099                              purged: 10 units
//   S-1-5-209                               never purged: 9 units
//   Korvan_Tmp_Reg                          purged like any loaded hive
TEST_F(CurrentUserTest, EveryLoadedUserHiveIsPurgedButTheClassesHivesAndShortNames) {
    struct Loaded {
        const wchar_t* name;
        bool purged;
    };
    const Loaded loaded[] = {
        {L"S-1-5-21-7000-7000-7000-1001", true},
        {L"S-1-5-21-7000-7000-7000-1002", true},
        {L"S-1-5-21-7000-7000-7000-1001_Classes", false},
        {L"S-1-5-21-7000-7000-7000-1002_classes", true},
        {L"S-1-5-2099", true},
        {L"S-1-5-209", false},
        {kMountName, true},
    };
    std::vector<std::unique_ptr<TestHive>> hives;
    std::vector<std::vector<std::wstring>> before;
    for (const Loaded& l : loaded) {
        hives.push_back(std::make_unique<TestHive>(l.name));
        ASSERT_TRUE(hives.back()->mounted()) << machine::narrow(l.name);
        seedUserSettings(HKEY_USERS, l.name);
        before.push_back(hives.back()->dump());
    }
    seedUserSettings(HKEY_CURRENT_USER, L"");
    const std::vector<std::wstring> currentBefore = dumpTree(HKEY_USERS, kCurrentUserHive);
    HandleLedger ledger;

    installhooks::purgeLoadedHives();

    for (std::size_t i = 0; i < hives.size(); ++i) {
        SCOPED_TRACE(machine::narrow(loaded[i].name));
        EXPECT_TRUE(holdsProduct(before[i], false));
        // The Run value goes from the current user's Run key only.
        EXPECT_EQ(loaded[i].purged ? withoutProduct(before[i], false) : before[i], hives[i]->dump());
    }
    EXPECT_TRUE(holdsProduct(currentBefore, true));
    EXPECT_EQ(withoutProduct(currentBefore, true), dumpTree(HKEY_USERS, kCurrentUserHive));
    EXPECT_TRUE(valueExists(HKEY_CURRENT_USER, kRunKey, L"KorvanTestNeighbour"));
    EXPECT_EQ(0U, ledger.openCount());
    EXPECT_EQ(0, ledger.strayCloses());
}

TEST_F(CurrentUserTest, ACurrentUserWithoutARunKeyStillLosesTheSettings) {
    TestHive other(kUserHive);
    ASSERT_TRUE(other.mounted());
    seedUserSettings(HKEY_USERS, kUserHive);
    seedUserSettings(HKEY_CURRENT_USER, L"");
    HandleLedger ledger;
    ledger.failOpen(L"\\CurrentVersion\\Run", ERROR_FILE_NOT_FOUND);

    installhooks::purgeLoadedHives();

    EXPECT_TRUE(valueExists(HKEY_CURRENT_USER, kRunKey, L"DelayShred"));
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, L"Software\\Korvan"));
    EXPECT_FALSE(keyExists(HKEY_USERS, join(kUserHive, L"Software\\Korvan")));
    EXPECT_EQ(0U, ledger.openCount());
}

TEST_F(CurrentUserTest, APurgeOfTheLoadedHivesMayRunAgain) {
    seedUserSettings(HKEY_CURRENT_USER, L"");
    installhooks::purgeLoadedHives();
    const std::vector<std::wstring> after = dumpTree(HKEY_USERS, kCurrentUserHive);

    installhooks::purgeLoadedHives();
    EXPECT_EQ(after, dumpTree(HKEY_USERS, kCurrentUserHive));
}

TEST(PurgeMountedHive, TheMountedProfileLosesItsRunValueAndItsSettings) {
    TestHive mount(kMountName);
    ASSERT_TRUE(mount.mounted());
    seedUserSettings(HKEY_USERS, kMountName);
    const std::vector<std::wstring> before = mount.dump();
    {
        HandleLedger ledger;
        EXPECT_TRUE(installhooks::purgeMountedHive());
        // Nothing inside the hive may stay open for its unmount.
        EXPECT_EQ(0U, ledger.openCount());
    }
    EXPECT_EQ(withoutProduct(before, true), mount.dump());
    EXPECT_TRUE(valueExists(HKEY_USERS, join(kMountName, kRunKey), L"KorvanTestNeighbour"));

    EXPECT_FALSE(installhooks::purgeMountedHive());
    EXPECT_EQ(withoutProduct(before, true), mount.dump());
}

TEST(PurgeMountedHive, WithNothingMountedThereIsNothingToPurge) {
    ASSERT_FALSE(machine::hiveLoaded(kMountName));
    HandleLedger ledger;
    EXPECT_FALSE(installhooks::purgeMountedHive());
    EXPECT_EQ(0U, ledger.openCount());
    EXPECT_FALSE(keyExists(HKEY_USERS, kMountName));
}
