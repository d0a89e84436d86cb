// The owner of a hive against the elevated purge. The owner may write below
// the hive's "Software" key at any moment; these tests act for the owner at
// the worst ones, from inside the call that ends a check (through the import
// table), and require that nothing outside the product's settings changes.
// Each also shows that the owner's move was made. Whatever the owner puts
// there, as deep as the registry allows or growing while the purge runs, the
// removal hook returns, on an installer's thread with little stack, and the
// other users' hives are purged as usual.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "machine/machine.h"
#include "preuninstall/preuninstall.h"
#include "support/fixtures.h"
#include "support/iat_patch.h"
#include "support/import_recorder.h"
#include "support/platform.h"
#include "support/registry_faults.h"
#include "support/registry_link.h"
#include "support/stack_use.h"
#include "support/text.h"
#include "user_hives.h"

using machine::dumpTree;
using machine::keyExists;
using machine::kView64;
using preuninstall_test::join;
using preuninstall_test::seedUserSettings;
using preuninstall_test::TestHive;
using testing_support::IatPatch;
using testing_support::linkExists;
using testing_support::testProgram;

namespace {

const wchar_t kUserHive[] = L"S-1-5-21-7000-7000-7000-1002";
// Where the owner's links lead, twice the same keys:
// KorvanVictim
// ├── Leaf                    (value)    a key without subkeys
// ├── Korvan\ZTB\Settings     (value)    what a purge through a link would take
// └── Microsoft\Windows\CurrentVersion\Run : DelayShred
// beside "Software" in the owner's own hive, where every platform follows a
// link of the hive, and in HKLM (64-bit view), where Windows follows no link
// from a user's hive (Wine follows it): the links into HKLM show that nothing
// outside the hive changes on either platform, the others that the purge
// never follows a link that the platform would follow.
struct Victim {
    HKEY root;
    const wchar_t* path;
    REGSAM view;
    const wchar_t* name;  // as a link's target names it
};
const Victim kVictims[] = {
    {HKEY_USERS, L"S-1-5-21-7000-7000-7000-1002\\KorvanVictim", 0,
     L"\\REGISTRY\\USER\\S-1-5-21-7000-7000-7000-1002\\KorvanVictim"},
    {HKEY_LOCAL_MACHINE, L"Software\\KorvanVictim", kView64, L"\\REGISTRY\\Machine\\Software\\KorvanVictim"},
};
const std::wstring kHiveVictim = kVictims[0].name;
const std::wstring kMachineVictim = kVictims[1].name;

// What the owner does: deletes its key at `path` by name and puts a link to
// `target` in its place.
bool g_swapped = false;
std::wstring g_swapPath;
std::wstring g_swapTarget;
void swapForLink() {
    g_swapped = RegDeleteKeyW(HKEY_USERS, g_swapPath.c_str()) == ERROR_SUCCESS &&
                testing_support::createLink(HKEY_USERS, g_swapPath, g_swapTarget);
}

using QueryInfoFn = decltype(&RegQueryInfoKeyW);
QueryInfoFn g_queryInfo = nullptr;
// Right after the key whose name ends with g_countedKey has been counted
// without subkeys (and without values, where they were counted too).
std::wstring g_countedKey;
LONG WINAPI countThenSwap(HKEY key, LPWSTR cls, LPDWORD clsLength, LPDWORD reserved, LPDWORD subkeys, LPDWORD maxSubkey,
                          LPDWORD maxClass, LPDWORD values, LPDWORD maxValueName, LPDWORD maxValue, LPDWORD security,
                          PFILETIME written) {
    const LONG status = g_queryInfo(key, cls, clsLength, reserved, subkeys, maxSubkey, maxClass, values, maxValueName,
                                    maxValue, security, written);
    if (!g_swapped && status == ERROR_SUCCESS && subkeys != nullptr && *subkeys == 0 &&
        (values == nullptr || *values == 0) &&
        testing_support::endsWithNoCase(testing_support::registryKeyName(key), g_countedKey)) {
        swapForLink();
    }
    return status;
}

using EnumKeyFn = decltype(&RegEnumKeyExW);
EnumKeyFn g_enumKey = nullptr;

// What the owner adds to its settings for every key the walk enumerates
// there, up to kMostAdded: a key named to come after the ones there before.
constexpr int kMostAdded = 1000;
int g_added = 0;
std::wstring g_ownerSettings;
std::wstring g_ownerSettingsName;  // as the kernel names it
LONG WINAPI enumThenAdd(HKEY key, DWORD index, LPWSTR name, LPDWORD length, LPDWORD reserved, LPWSTR cls,
                        LPDWORD clsLength, PFILETIME written) {
    const LONG status = g_enumKey(key, index, name, length, reserved, cls, clsLength, written);
    if (status == ERROR_SUCCESS && g_added < kMostAdded &&
        _wcsnicmp(testing_support::registryKeyName(key).c_str(), g_ownerSettingsName.c_str(),
                  g_ownerSettingsName.size()) == 0) {
        ++g_added;
        machine::createKey(HKEY_USERS, join(g_ownerSettings, L"~Added" + std::to_wstring(g_added)));
    }
    return status;
}

// The hook run by the installer, whose every call passes the recorder: the
// owner's link, made without a target, gets its target once the purge has
// opened it as itself and looked at it (whatever it looked at: counted,
// queried, enumerated or nothing), right before the purge's next call on
// it, whatever that is. With `plantOnMount` the link is put in place of the
// key of that name as soon as the sweep has mounted the owner's profile hive.
class LateTarget {
public:
    LateTarget(std::wstring link, std::wstring target, bool plantOnMount)
        : link_(std::move(link)), target_(std::move(target)), recorder_(dll_.module()) {
        recorder_.observe([this](std::size_t, const std::string& function, const DWORD* arguments) {
            if (!set_ && onLink(function, arguments) && !isLook(function)) {
                set_ = testing_support::setLinkTarget(HKEY_USERS, link_, target_);
            }
        });
        recorder_.observeReturns([this, plantOnMount](const trace::RecordedCall& call) {
            const std::string& function = recorder_.functionOf(call);
            if (plantOnMount && function == "RegLoadKeyW" && call.result == ERROR_SUCCESS) {
                machine::deleteTree(HKEY_USERS, link_);
                planted_ = testing_support::createLink(HKEY_USERS, link_, L"");
            }
            // RegOpenKeyExW(parent, name, options, access, &key) of the link itself.
            if (function == "RegOpenKeyExW" && call.result == ERROR_SUCCESS &&
                (call.arguments[2] & REG_OPTION_OPEN_LINK) != 0) {
                const HKEY key = *reinterpret_cast<const HKEY*>(call.arguments[4]);
                if (testing_support::endsWithNoCase(testing_support::registryKeyName(key), L"\\" + link_)) {
                    handle_ = key;
                }
            }
        });
    }
    int runRemoval() const { return dll_.call("DllPreUnInstall"); }
    bool planted() const { return planted_; }
    bool set() const { return set_; }

private:
    bool onLink(const std::string& function, const DWORD* arguments) const {
        return handle_ != nullptr && arguments[0] == reinterpret_cast<DWORD>(handle_) &&
               (function.rfind("Reg", 0) == 0 || function.rfind("Nt", 0) == 0);
    }
    static bool isLook(const std::string& function) {
        return function == "RegQueryInfoKeyW" || function == "RegQueryValueExW" || function == "RegEnumKeyExW" ||
               function == "RegEnumValueW" || function == "NtQueryKey";
    }

    std::wstring link_;
    std::wstring target_;
    testing_support::HookLibrary dll_;
    testing_support::ImportRecorder recorder_;
    HKEY handle_ = nullptr;
    bool planted_ = false;
    bool set_ = false;
};
std::wstring levelName(int level) { return L"L" + std::to_wstring(level); }

class OwnerRaces : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(hive.mounted());
        seedVictim();
        g_swapped = false;
    }
    void TearDown() override {
        testing_support::removeLink(HKEY_USERS, g_swapPath);
        clearVictim();
    }
    static void clearVictim() {
        for (const Victim& victim : kVictims) {
            machine::deleteTree(victim.root, victim.path, victim.view);
        }
    }
    void seedVictim() {
        clearVictim();
        victimBefore.clear();
        for (const Victim& victim : kVictims) {
            const std::wstring path = victim.path;
            ASSERT_TRUE(machine::setString(victim.root, join(path, L"Leaf"), L"Owner", L"someone", victim.view));
            ASSERT_TRUE(machine::setDword(victim.root, join(path, L"Korvan\\ZTB\\Settings"), L"n", 1, victim.view));
            ASSERT_TRUE(machine::setString(victim.root, join(path, L"Microsoft\\Windows\\CurrentVersion\\Run"),
                                           L"DelayShred", L"victim.exe", victim.view));
            victimBefore.push_back(dumpTree(victim.root, victim.path, victim.view));
        }
    }

    void expectVictimIntact() const {
        ASSERT_EQ(std::size(kVictims), victimBefore.size());
        for (std::size_t i = 0; i < victimBefore.size(); ++i) {
            EXPECT_EQ(victimBefore[i], dumpTree(kVictims[i].root, kVictims[i].path, kVictims[i].view))
                << machine::narrow(kVictims[i].name);
        }
    }

    // The purge of the owner's hive, while the owner swaps its key at `path`
    // for a link into the victim right after the key whose name ends with
    // `counted` has been counted empty.
    static bool purgeSwappingAfterCount(const std::wstring& path, const std::wstring& counted) {
        g_swapPath = join(kUserHive, path);
        g_swapTarget = kHiveVictim + L"\\Leaf";
        g_countedKey = counted;
        IatPatch query(testProgram(), "advapi32.dll", "RegQueryInfoKeyW",
                       reinterpret_cast<const void*>(&countThenSwap));
        EXPECT_TRUE(query.applied());
        g_queryInfo = query.originalAs<QueryInfoFn>();
        return installhooks::purgeHiveSettings(kUserHive);
    }

    TestHive hive{kUserHive};
    std::vector<std::vector<std::wstring>> victimBefore;
};

}  // namespace

TEST_F(OwnerRaces, AMakersKeySwappedForALinkAfterItWasCountedEmptyIsNotFollowed) {
    // Only the settings in the maker's key, so that it is left empty.
    ASSERT_TRUE(machine::setDword(HKEY_USERS, join(kUserHive, L"Software\\Korvan\\ZTB\\Eraser"), L"Passes", 3));

    EXPECT_TRUE(purgeSwappingAfterCount(L"Software\\Korvan", L"\\Software\\Korvan"));

    ASSERT_TRUE(g_swapped);
    EXPECT_TRUE(linkExists(HKEY_USERS, g_swapPath));
    expectVictimIntact();
}

TEST_F(OwnerRaces, ALeafSwappedForALinkAfterItWasFoundWithoutSubkeysIsNotFollowed) {
    seedUserSettings(HKEY_USERS, kUserHive);

    EXPECT_FALSE(purgeSwappingAfterCount(L"Software\\Korvan\\ZTB\\Eraser\\Schedule", L"\\ZTB\\Eraser\\Schedule"));

    ASSERT_TRUE(g_swapped);
    expectVictimIntact();
    // The link came after the walk had counted the subkeys of "Eraser",
    // which is then refused its deletion: the walk ends there, and the link
    // stays as its owner made it.
    EXPECT_TRUE(linkExists(HKEY_USERS, g_swapPath));
    EXPECT_TRUE(keyExists(HKEY_USERS, join(kUserHive, L"Software\\Korvan\\ZTB\\Eraser")));
}

TEST_F(OwnerRaces, AHiveWhoseSoftwareKeyIsALinkIsNotPurgedLoadedOrMounted) {
    TestHive mounted{preuninstall_test::kMountName};
    ASSERT_TRUE(mounted.mounted());
    // The loaded hive's link leads into the same hive, the mounted one's into HKLM.
    for (const auto& [name, target] :
         {std::pair{std::wstring(kUserHive), kHiveVictim}, std::pair{mounted.name(), kMachineVictim}}) {
        ASSERT_TRUE(testing_support::createLink(HKEY_USERS, join(name, L"Software"), target));
        // Whether the link is live: the hive's paths lead into the victim.
        const bool followed = target == kHiveVictim || testing_support::onWine();
        const char* why = target == kHiveVictim ? "a link inside one hive is followed"
                          : followed            ? "Wine divergence: Wine follows a link from a user's hive into HKLM"
                                                : "Windows: a link from a user's hive into HKLM is not followed";
        ASSERT_EQ(followed, keyExists(HKEY_USERS, join(name, L"Software\\Korvan\\ZTB\\Settings"))) << why;
        ASSERT_EQ(followed, machine::valueExists(HKEY_USERS, join(name, preuninstall_test::kRunKey), L"DelayShred"))
            << why;
    }

    EXPECT_FALSE(installhooks::purgeHiveSettings(kUserHive));
    EXPECT_FALSE(installhooks::purgeMountedHive());

    expectVictimIntact();
    for (const std::wstring& name : {std::wstring(kUserHive), mounted.name()}) {
        EXPECT_TRUE(linkExists(HKEY_USERS, join(name, L"Software")));
        testing_support::removeLink(HKEY_USERS, join(name, L"Software"));
    }
}

TEST_F(OwnerRaces, AnOrdinaryMakersKeyThatCarriesALinkTypedValueIsPurgedLikeAnyOther) {
    seedUserSettings(HKEY_USERS, kUserHive);
    const std::wstring maker = join(kUserHive, L"Software\\Korvan");
    const std::wstring target = kHiveVictim;
    ASSERT_TRUE(machine::setValue(HKEY_USERS, maker, L"SymbolicLinkValue", REG_LINK, target.data(),
                                  static_cast<DWORD>(target.size() * sizeof(wchar_t))));

    EXPECT_TRUE(installhooks::purgeHiveSettings(kUserHive));

    EXPECT_FALSE(keyExists(HKEY_USERS, join(maker, L"ZTB")));
    // The value keeps the maker's key, as any value would.
    EXPECT_TRUE(keyExists(HKEY_USERS, maker));
    expectVictimIntact();
}

TEST_F(OwnerRaces, ALinkWhoseTargetIsSetRightAfterThePurgeLookedAtItIsNotFollowedLoadedOrMounted) {
    const std::wstring mount = preuninstall_test::kMountName;
    // The loaded hive's links lead into the same hive; the mounted profile's,
    // made by the test as the sweep mounts it, into HKLM.
    const struct {
        std::wstring hive;
        const wchar_t* link;
        std::wstring target;
    } cases[] = {
        {kUserHive, L"Software", kHiveVictim},
        {kUserHive, L"Software\\Korvan", join(kHiveVictim, L"Korvan")},
        {mount, L"Software", kMachineVictim},
        // The last key on the way to the Run key, which is never gone below.
        {mount, preuninstall_test::kRunKey, join(kMachineVictim, L"Microsoft\\Windows\\CurrentVersion\\Run")},
    };
    for (const auto& c : cases) {
        const std::wstring link = join(c.hive, c.link);
        SCOPED_TRACE(machine::narrow(link));
        seedVictim();
        preuninstall_test::ProfileFolders profiles;
        const bool mounted = c.hive == mount;
        if (mounted) {
            profiles.addProfile(L"KorvanOwner");
            ASSERT_TRUE(profiles.complete());
        } else {
            ASSERT_TRUE(testing_support::createLink(HKEY_USERS, link, L""));
            ASSERT_FALSE(linkExists(HKEY_USERS, link)) << "no target yet";
        }
        {
            LateTarget owner(link, c.target, mounted);
            EXPECT_EQ(0, owner.runRemoval());
            EXPECT_EQ(mounted, owner.planted());
            EXPECT_TRUE(owner.set());
        }
        expectVictimIntact();
        if (!mounted) {
            EXPECT_TRUE(linkExists(HKEY_USERS, link));
            testing_support::removeLink(HKEY_USERS, link);
        }
    }
}

TEST_F(OwnerRaces, SettingsAsDeepAsTheRegistryAllowsArePurgedWithLittleStackLeft) {
    testing_support::HookLibrary dll;
    ASSERT_NE(nullptr, dll.module());
    const std::wstring settings = join(kUserHive, L"Software\\Korvan\\ZTB");
    // ZTB\L1\L2\...: the hook on an installer's thread with 128 KB of stack
    // left to it.
    auto purgeWithLittleStack = [&](int levels) {
        seedUserSettings(HKEY_USERS, kUserHive);
        EXPECT_EQ(levels, machine::createChain(HKEY_USERS, settings, levels, &levelName));
        int returned = -1;
        const testing_support::StackUse use =
            testing_support::runWithStackLeft(128 * 1024, [&] { returned = dll.call("DllPreUnInstall"); });
        EXPECT_TRUE(use.ran);
        EXPECT_EQ(0, returned);
        EXPECT_FALSE(keyExists(HKEY_USERS, join(kUserHive, L"Software\\Korvan")));
        return use.deepest;
    };
    const std::size_t shallow = purgeWithLittleStack(8);
    const std::size_t deep = purgeWithLittleStack(500);

    std::printf("[ stack    ] DllPreUnInstall: %zu bytes with settings 8 levels deep, %zu with 500\n", shallow, deep);
    // The depth costs no stack, where a name buffer per level (500 of them
    // hold 250 KB) could never have fitted.
    EXPECT_LE(deep, shallow + 64);
    expectVictimIntact();
}

TEST_F(OwnerRaces, AnOwnerAddingKeysWhileTheWalkRunsCannotKeepTheHookFromReturning) {
    testing_support::HookLibrary dll;
    ASSERT_NE(nullptr, dll.module());
    preuninstall_test::UsersWithProduct users;
    ASSERT_TRUE(users.complete());
    seedUserSettings(HKEY_USERS, kUserHive);
    g_ownerSettings = join(kUserHive, L"Software\\Korvan\\ZTB");
    HKEY settings = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_USERS, g_ownerSettings.c_str(), 0, KEY_READ, &settings));
    g_ownerSettingsName = machine::kernelKeyName(settings);
    RegCloseKey(settings);
    ASSERT_FALSE(g_ownerSettingsName.empty());
    g_added = 0;
    testing_support::MountWatch watch(dll.module());
    ASSERT_TRUE(watch.applied());
    {
        IatPatch enumerate(dll.module(), "advapi32.dll", "RegEnumKeyExW", reinterpret_cast<const void*>(&enumThenAdd));
        ASSERT_TRUE(enumerate.applied());
        g_enumKey = enumerate.originalAs<EnumKeyFn>();

        EXPECT_EQ(0, dll.call("DllPreUnInstall"));
    }

    // The walk ended by itself, one key added for each it deleted: what was
    // there before is gone, what came after stays, and so does the maker's
    // key above it.
    EXPECT_LT(g_added, kMostAdded);
    std::vector<std::wstring> added;
    for (int i = 1; i <= g_added; ++i) {
        added.push_back(L"~Added" + std::to_wstring(i));
    }
    EXPECT_EQ(added, machine::subkeyNames(HKEY_USERS, g_ownerSettings));
    users.expectPurged(watch.events());
    expectVictimIntact();
}
