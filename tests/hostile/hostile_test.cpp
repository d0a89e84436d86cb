// Every hook, through the shipped DLL, on a machine that users and other
// software have filled: beside the product's complete footprint and its
// neighbours (the sample machine), the hostile cases below. Each hook must
// return 0, remove what it can, leave no handle open, and change nothing
// outside its footprint; a second call must change nothing at all.
//
// HKCU\Software\Korvan\ZTB on the hostile machine:
//
//   ZTB
//   |- NNN...Na, NNN...Nb, NNN...Nc         255-character names
//   |     `- NNN...Nd                       (one of them with a child)
//   |- Deep\L1...\L2...\ ... \L508...       255-character names down to the
//   |                                       512th level below the hive root
//   |                                       (and one more under Wine)
//   |- Beside    -> HKCU\Software\KorvanHostileVictim   (registry links; the
//   |- Shortcut  -> HKLM\Software\KorvanHostileVictim   first followed on
//   |- Dangling  -> HKLM\Software\KorvanHostileMissing  both platforms)
//   |- Bulk000 ... Bulk299                  values of every type, empty ones,
//   |                                       a default value
//   `- NotALink                             a REG_LINK "SymbolicLinkValue"
//         `- Child                          on a key that is no link
//
// and elsewhere: profile folders whose NTUSER.DAT is garbage, empty or a
// folder; profile folders with a 255-character name and with non-ASCII names;
// a read-only Send To entry; a task key that nobody may read.

#include <windows.h>

#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "hostile/hostile_machine.h"
#include "integrity/machine_state.h"
#include "machine/hives.h"
#include "machine/machine.h"
#include "preuninstall/user_hives.h"
#include "samplemachine/footprint.h"
#include "samplemachine/footprint_shell.h"
#include "support/fixtures.h"
#include "support/handle_ledger.h"
#include "support/platform.h"

using machine::kView32;
using machine::kView64;
using preuninstall_test::holdsProduct;
using preuninstall_test::MountEvent;
using preuninstall_test::MountWatch;
using preuninstall_test::ProfileFolders;
using preuninstall_test::withoutProduct;
using testing_support::HandleLedger;
using testing_support::HookLibrary;

namespace {

const wchar_t kMakerKey[] = L"Software\\Korvan";
const wchar_t kSettingsKey[] = L"Software\\Korvan\\ZTB";
const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kVictimKey[] = L"Software\\KorvanHostileVictim";
const wchar_t kVictimTarget[] = L"\\Registry\\Machine\\Software\\KorvanHostileVictim";
const wchar_t kMissingKey[] = L"Software\\KorvanHostileMissing";
const wchar_t kMissingTarget[] = L"\\Registry\\Machine\\Software\\KorvanHostileMissing";
const wchar_t kSuiteScheduler[] = L"Software\\Korvan\\ZHN\\Scheduler";
const wchar_t kPlatformScheduler[] = L"Software\\Korvan\\Platform\\Scheduler";
const wchar_t kLockedTask[] = L"Locked.zwtask";
const wchar_t kOtherUserHive[] = L"S-1-5-21-1111-2222-3333-1001";

// Windows keeps a key tree to 512 levels; HKCU\Software\Korvan\ZTB\Deep is
// the 4th level below the hive root, so the chain below it adds 508, and
// Windows refuses one more, which Wine makes.
constexpr int kWindowsDepthLimit = 512;
constexpr int kDeepLevels = kWindowsDepthLimit - 4;
constexpr int kBulkKeys = 300;
constexpr std::size_t kLongestKeyName = 255;
constexpr std::size_t kLongestValueName = 16383;

bool isRemovalHook(const std::string& hook) { return hook == "DllPreUnInstall" || hook == "DllZudaUnInstall"; }

std::wstring join(const std::wstring& parent, const std::wstring& child) { return parent + L"\\" + child; }

std::wstring padded(std::wstring text, wchar_t fill, std::size_t length) {
    text.resize(length, fill);
    return text;
}

std::wstring longKeyName(wchar_t last) { return padded(L"", L'N', kLongestKeyName - 1) + last; }

std::wstring deepName(int level) { return padded(L"L" + std::to_wstring(level) + L"-", L'd', kLongestKeyName); }

// Profile folders in the profiles directory that the sweep walks.
const std::wstring kGarbageProfile = L"KorvanHostileGarbage";
const std::wstring kEmptyProfile = L"KorvanHostileEmpty";
const std::wstring kFolderProfile = L"KorvanHostileFolder";
const std::wstring kLongProfile = padded(L"KorvanHostileLong", L'L', kLongestKeyName);
// Latin letters with diacritics, CJK and a character outside the BMP.
const std::wstring kUnicodeProfile = L"KorvanHostile Zo\u00eb J\u00fcrgen \u7530\u4e2d \U0001F600";
// The longest name of CJK characters a Linux file system holds (255 bytes of
// UTF-8); Wine's own limit for a name component, below Windows' 255 units.
const std::wstring kLongUnicodeProfile = L"KorvanHostile" + std::wstring(80, L'\u7530');

void setValue(HKEY key, const std::wstring& name, DWORD type, const void* data, std::size_t size) {
    const LONG status =
        RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size));
    if (status != ERROR_SUCCESS) {
        ADD_FAILURE() << "cannot seed the value " << machine::narrow(name) << ": error " << status;
    }
}

void setText(HKEY key, const std::wstring& name, DWORD type, const std::wstring& text) {
    setValue(key, name, type, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

// Values of every type the registry knows, some of an unknown one, empty
// values of several types, and a default value.
void setEveryType(HKEY key, int index) {
    setText(key, L"", REG_SZ, L"default of " + std::to_wstring(index));
    setText(key, L"Text", REG_SZ, L"text");
    setText(key, L"Expand", REG_EXPAND_SZ, L"%ProgramFiles%\\Korvan\\ZTB");
    const wchar_t multi[] = L"one\0two\0";
    setValue(key, L"Multi", REG_MULTI_SZ, multi, sizeof multi);
    const DWORD dword = 0x12345678U + static_cast<DWORD>(index);
    setValue(key, L"Dword", REG_DWORD, &dword, sizeof dword);
    setValue(key, L"BigEndian", REG_DWORD_BIG_ENDIAN, &dword, sizeof dword);
    const ULONGLONG qword = 0x0123456789ABCDEFULL;
    setValue(key, L"Qword", REG_QWORD, &qword, sizeof qword);
    std::vector<BYTE> binary(64);
    for (std::size_t i = 0; i < binary.size(); ++i) {
        binary[i] = static_cast<BYTE>(i * 7 + static_cast<std::size_t>(index));
    }
    setValue(key, L"Binary", REG_BINARY, binary.data(), binary.size());
    setValue(key, L"None", REG_NONE, binary.data(), 3);
    // A value of the link type on an ordinary key: data, not a link.
    setValue(key, L"LinkTyped", REG_LINK, kVictimTarget, std::wcslen(kVictimTarget) * sizeof(wchar_t));
    setValue(key, L"ResourceList", REG_RESOURCE_LIST, binary.data(), 16);
    setValue(key, L"FullResource", REG_FULL_RESOURCE_DESCRIPTOR, binary.data(), 16);
    setValue(key, L"Requirements", REG_RESOURCE_REQUIREMENTS_LIST, binary.data(), 16);
    setValue(key, L"Unknown", 0x4B52, binary.data(), 5);
    setValue(key, L"EmptySz", REG_SZ, nullptr, 0);
    setValue(key, L"EmptyMulti", REG_MULTI_SZ, nullptr, 0);
    setValue(key, L"EmptyBinary", REG_BINARY, nullptr, 0);
    setValue(key, L"EmptyNone", REG_NONE, nullptr, 0);
}

struct Region {
    std::wstring label;
    std::vector<std::wstring> lines;
};

// root\path with everything below it, without what `skip` names, with the
// hostile names shortened.
std::vector<std::wstring> tree(HKEY root, const std::wstring& path, REGSAM view, std::vector<std::wstring> skip = {}) {
    machine::DumpOptions options;
    options.skip = std::move(skip);
    options.shorten = true;
    return machine::dumpTree(root, path, view, options);
}

// The names of root\path's subkeys, sorted, without those in `skip`.
std::vector<std::wstring> names(HKEY root, const std::wstring& path, const std::vector<std::wstring>& skip = {}) {
    std::vector<std::wstring> kept;
    for (const std::wstring& name : machine::subkeyNames(root, path)) {
        if (std::none_of(skip.begin(), skip.end(),
                         [&](const std::wstring& s) { return lstrcmpiW(s.c_str(), name.c_str()) == 0; })) {
            kept.push_back(name);
        }
    }
    std::sort(kept.begin(), kept.end());
    return kept;
}

// What a hook may change: left out of the snapshot of its neighbours.
struct Footprint {
    std::vector<std::wstring> hklm64;
    std::vector<std::wstring> hklm32;
    std::vector<std::wstring> recycleBin;
    std::vector<std::wstring> classes;
    std::vector<std::wstring> currentUser;
    std::vector<std::wstring> purgedHives;
    std::vector<std::wstring> sendTo;
    std::vector<std::wstring> agentFiles;
};

Footprint footprintOf(const std::string& hook) {
    Footprint footprint;
    if (hook == "DllPostInstall") {
        const std::wstring substitute = L"Korvan\\ZTB\\AppInfo\\Substitute : ";
        footprint.hklm64 = {substitute + L"gmt", substitute + L"date"};
        footprint.hklm32 = {substitute + L"buildLD",
                            substitute + L"domain",
                            substitute + L"lang",
                            L"Korvan\\ZTB\\AppInfo\\OEM",
                            L"Korvan\\ZHN\\Settings\\TaskSchedulePreset\\ZKW",
                            L"Korvan\\ZHN\\Scheduler",
                            L"Korvan\\Platform"};
        footprint.agentFiles = {L"shred.adf", L"shd.adf", L"ZWL.ADF"};
    } else if (isRemovalHook(hook)) {
        footprint.recycleBin = {std::wstring(L"shellex\\ContextMenuHandlers\\") + sample::shell::kHandlerName};
        footprint.classes = {sample::shell::kClassName};
        footprint.currentUser = {kMakerKey, std::wstring(kRunKey) + L" : DelayShred"};
        footprint.purgedHives = {kSettingsKey};
        footprint.sendTo = {sample::shell::kSendToFileName};
    }
    return footprint;
}

std::vector<std::wstring> withoutFiles(std::vector<std::wstring> lines, const std::vector<std::wstring>& names) {
    std::vector<std::wstring> kept;
    for (const std::wstring& line : lines) {
        bool drop = false;
        for (const std::wstring& name : names) {
            drop = drop || line.compare(0, name.size() + 12, name + L" attributes ") == 0;
        }
        if (!drop) {
            kept.push_back(line);
        }
    }
    return kept;
}

std::wstring agentFolder() { return machine::shellFolder(CSIDL_PROGRAM_FILES) + L"\\KorvanNet\\Agent\\app"; }

std::wstring profilesDirectory() {
    const std::wstring own = machine::shellFolder(CSIDL_PROFILE);
    return own.substr(0, own.rfind(L'\\'));
}

std::wstring profileHive(const std::wstring& name) { return profilesDirectory() + L"\\" + name + L"\\NTUSER.DAT"; }

// Profiles with a real hive: the sample machine's and the hostile ones. Their
// hive files are compared by content, not by bytes (a write-back changes the
// bytes of an unchanged hive).
std::vector<std::wstring> hiveProfiles() {
    return {L"Alice", L"Bob", kLongProfile, kUnicodeProfile, kLongUnicodeProfile};
}
std::vector<std::wstring> profilesWalked() {
    return {L"Alice",        L"Bob",        kLongProfile,  kUnicodeProfile, kLongUnicodeProfile,
            kGarbageProfile, kEmptyProfile, kFolderProfile};
}

// The machine's state, as far as any hook could reach it, without what the
// hook's footprint allows it to change.
std::vector<Region> snapshot(const Footprint& footprint) {
    std::vector<Region> regions;
    auto plus = [](std::vector<std::wstring> a, const std::vector<std::wstring>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    regions.push_back({L"HKLM\\Software, 64-bit view", tree(HKEY_LOCAL_MACHINE, L"Software", kView64,
                                                            plus({L"Classes", L"Wow6432Node"}, footprint.hklm64))});
    regions.push_back({L"HKLM\\Software, 32-bit view",
                       tree(HKEY_LOCAL_MACHINE, L"Software", kView32, plus({L"Classes"}, footprint.hklm32))});
    regions.push_back(
        {L"Recycle Bin class key", tree(HKEY_LOCAL_MACHINE, sample::shell::kRecycleBinClass, 0, footprint.recycleBin)});
    regions.push_back({L"CLSID names", names(HKEY_LOCAL_MACHINE, sample::shell::kClassRoot, footprint.classes)});
    regions.push_back({L"neighbour class key", tree(HKEY_LOCAL_MACHINE, sample::shell::neighbourClassKey(), 0)});
    regions.push_back({L"HKCU", tree(HKEY_CURRENT_USER, L"", 0, footprint.currentUser)});
    regions.push_back({L"HKU names", names(HKEY_USERS, L"")});
    for (const std::wstring& hive : names(HKEY_USERS, L"")) {
        if (hive == preuninstall_test::kCurrentUserHive) {
            continue;  // the same hive as HKCU
        }
        const bool purged = hive.size() >= 10 && hive.find(L"_Classes") == std::wstring::npos;
        regions.push_back(
            {L"HKU\\" + hive, tree(HKEY_USERS, hive, 0, purged ? footprint.purgedHives : std::vector<std::wstring>{})});
    }
    regions.push_back(
        {L"Send To", withoutFiles(hostile::listFolder(machine::shellFolder(CSIDL_SENDTO)), footprint.sendTo)});
    regions.push_back({L"agent folder", withoutFiles(hostile::listFolder(agentFolder()), footprint.agentFiles)});
    regions.push_back({L"profiles directory", hostile::listFolder(profilesDirectory(), {}, false)});
    std::vector<std::wstring> hiveFiles;
    for (const std::wstring& name : hiveProfiles()) {
        hiveFiles.push_back(profileHive(name));
    }
    for (const std::wstring& name : profilesWalked()) {
        regions.push_back({L"profile " + name, hostile::listFolder(profilesDirectory() + L"\\" + name, hiveFiles)});
    }
    return regions;
}

void expectSame(const std::vector<Region>& before, const std::vector<Region>& after) {
    ASSERT_EQ(before.size(), after.size());
    for (std::size_t i = 0; i < before.size(); ++i) {
        SCOPED_TRACE(machine::narrow(before[i].label));
        EXPECT_EQ(before[i].label, after[i].label);
        const integrity::Diff changed = integrity::diff(before[i].lines, after[i].lines);
        EXPECT_TRUE(changed.removed.empty() && changed.added.empty())
            << "gone:\n"
            << integrity::describeLines(changed.removed) << "came:\n"
            << integrity::describeLines(changed.added);
    }
}

// Counts the hostile cases whose checks ran, for the line printed at the end.
std::set<std::string> g_caseNames;
int g_casesRun = 0;

class CaseCount : public ::testing::Environment {
public:
    void TearDown() override {
        std::printf("hostile cases run: %d (%zu hostile cases on one machine, each checked after every hook)\n",
                    g_casesRun, g_caseNames.size());
    }
};
const ::testing::Environment* const g_caseCount = ::testing::AddGlobalTestEnvironment(new CaseCount);

class HostileMachine : public testing_support::ProductKeysTest, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        clearHostile();
        ProductKeysTest::SetUp();
        ASSERT_NE(nullptr, dll.module());
        sample::seed();
        seedHostile();
    }

    void TearDown() override {
        clearHostile();
        sample::clear();
        folders.reset();
        ProductKeysTest::TearDown();
    }

    static void clearHostile() {
        hostile::allowAll(HKEY_LOCAL_MACHINE, join(kSuiteScheduler, kLockedTask), kView32);
        SetFileAttributesW(sample::shell::sendToFile().c_str(), FILE_ATTRIBUTE_NORMAL);
        // Through handles and without following links: the sample machine's
        // own clean-up would delete the links' targets and cannot reach the
        // bottom of the deep subtree by path.
        EXPECT_TRUE(hostile::removeKeyTree(HKEY_CURRENT_USER, kMakerKey));
        EXPECT_TRUE(hostile::removeKeyTree(HKEY_LOCAL_MACHINE, kVictimKey, kView64));
        EXPECT_TRUE(hostile::removeKeyTree(HKEY_CURRENT_USER, kVictimKey));
    }

    void seedHostile() {
        // 255-character key names, one with a child of the same length.
        for (wchar_t last : {L'a', L'b', L'c'}) {
            ASSERT_TRUE(machine::setDword(HKEY_CURRENT_USER, join(kSettingsKey, longKeyName(last)), L"Kept", 1));
        }
        ASSERT_TRUE(
            machine::createKey(HKEY_CURRENT_USER, join(join(kSettingsKey, longKeyName(L'a')), longKeyName(L'd'))));

        deepLevels = machine::createChain(HKEY_CURRENT_USER, join(kSettingsKey, L"Deep"), kDeepLevels + 1, &deepName);
        if (testing_support::onWine()) {
            ASSERT_EQ(kDeepLevels + 1, deepLevels) << "Wine divergence: Wine makes a key below the 512th level";
        } else {
            ASSERT_EQ(kDeepLevels, deepLevels) << "Windows: the registry refuses a key below the 512th level";
        }

        // The links' targets: another vendor's keys in the same hive, where
        // every platform follows a link, and below HKLM, where Windows
        // follows none from a user's hive.
        for (const auto& [root, view] :
             {std::pair{HKEY_CURRENT_USER, REGSAM{0}}, std::pair{HKEY_LOCAL_MACHINE, kView64}}) {
            ASSERT_TRUE(machine::setString(root, kVictimKey, L"Owner", L"another vendor", view));
            ASSERT_TRUE(machine::setDword(root, join(kVictimKey, L"Data"), L"Size", 42, view));
            ASSERT_TRUE(machine::createKey(root, join(kVictimKey, L"Data\\Inner"), view));
        }
        victim = tree(HKEY_LOCAL_MACHINE, kVictimKey, kView64);
        hiveVictim = tree(HKEY_CURRENT_USER, kVictimKey, 0);
        ASSERT_TRUE(hostile::createLink(HKEY_CURRENT_USER, join(kSettingsKey, L"Beside"),
                                        testing_support::absoluteName(HKEY_CURRENT_USER, kVictimKey)));
        ASSERT_TRUE(machine::keyExists(HKEY_CURRENT_USER, join(kSettingsKey, L"Beside\\Data\\Inner")));
        ASSERT_TRUE(hostile::createLink(HKEY_CURRENT_USER, join(kSettingsKey, L"Shortcut"), kVictimTarget));
        ASSERT_TRUE(hostile::linkExists(HKEY_CURRENT_USER, join(kSettingsKey, L"Shortcut")));
        ASSERT_TRUE(hostile::createLink(HKEY_CURRENT_USER, join(kSettingsKey, L"Dangling"), kMissingTarget));

        HKEY settings = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_ALL_ACCESS, &settings));
        for (int i = 0; i < kBulkKeys; ++i) {
            wchar_t name[16];
            std::swprintf(name, 16, L"Bulk%03d", i);
            HKEY bulk = nullptr;
            ASSERT_EQ(ERROR_SUCCESS,
                      RegCreateKeyExW(settings, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &bulk, nullptr));
            setEveryType(bulk, i);
            if (i == 0) {
                const DWORD one = 1;
                setValue(bulk, padded(L"LongestName", L'v', kLongestValueName), REG_DWORD, &one, sizeof one);
            }
            RegCloseKey(bulk);
        }
        RegCloseKey(settings);
        ASSERT_EQ(static_cast<std::size_t>(kBulkKeys) + 9,
                  machine::subkeyNames(HKEY_CURRENT_USER, kSettingsKey).size());

        // The value that marks a link, on an ordinary key that has a child.
        const std::wstring notALink = join(kSettingsKey, L"NotALink");
        ASSERT_TRUE(machine::setValue(HKEY_CURRENT_USER, notALink, L"SymbolicLinkValue", REG_LINK, kVictimTarget,
                                      static_cast<DWORD>(std::wcslen(kVictimTarget) * sizeof(wchar_t))));
        ASSERT_TRUE(machine::setDword(HKEY_CURRENT_USER, join(notALink, L"Child"), L"Kept", 1));
        ASSERT_TRUE(hostile::linkExists(HKEY_CURRENT_USER, notALink));

        // Profile folders that are not what they seem, and profiles with
        // names at the limits.
        folders = std::make_unique<ProfileFolders>(profilesDirectory());
        folders->addFolder(kGarbageProfile);
        ASSERT_TRUE(machine::writeFile(folders->hiveFile(kGarbageProfile),
                                       std::string("regf\x01\x02\x03 not a hive \xff\xfe\x00\x7f", 22)));
        folders->addFolder(kEmptyProfile);
        ASSERT_TRUE(machine::writeFile(folders->hiveFile(kEmptyProfile), ""));
        folders->addFolder(kFolderProfile);
        ASSERT_TRUE(machine::createDirectories(folders->hiveFile(kFolderProfile)));
        for (const std::wstring& name : {kLongProfile, kUnicodeProfile, kLongUnicodeProfile}) {
            folders->addProfile(name);
        }
        ASSERT_TRUE(folders->complete());
        for (const std::wstring& name : hiveProfiles()) {
            hives[name] = machine::dumpHiveFile(profileHive(name));
            ASSERT_FALSE(hives[name].empty()) << machine::narrow(name);
        }

        // A Send To entry that the user made read-only.
        ASSERT_TRUE(SetFileAttributesW(sample::shell::sendToFile().c_str(), FILE_ATTRIBUTE_READONLY) != FALSE);

        // A task key that nobody may read, between two tasks (the suite
        // scheduler lists its keys sorted: Backup, Locked, Report).
        const std::wstring locked = join(kSuiteScheduler, kLockedTask);
        ASSERT_TRUE(machine::setString(HKEY_LOCAL_MACHINE, locked, L"Command", L"zhn.exe /locked", kView32));
        ASSERT_TRUE(machine::setDword(HKEY_LOCAL_MACHINE, join(locked, L"Window"), L"Minutes", 5, kView32));
        lockedTask = tree(HKEY_LOCAL_MACHINE, locked, kView32);
        ASSERT_TRUE(hostile::denyRead(HKEY_LOCAL_MACHINE, locked, kView32));
        ASSERT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, locked, kView32)) << "the platform ignores the key's ACL";
    }

    // Calls the hook as the installer would, and requires that it returns 0,
    // leaves no key, search or token open, and undoes every mount at once
    // with nothing of the hive left open. Returns the mounts it made.
    std::vector<MountEvent> callHook(const std::string& hook) const {
        HandleLedger ledger(dll.module());
        MountWatch watch(dll.module(), &ledger);
        EXPECT_TRUE(watch.applied());
        EXPECT_EQ(0, dll.call(hook.c_str()));
        EXPECT_EQ(0U, ledger.openCount());
        EXPECT_EQ(0, ledger.strayCloses());
        const std::vector<MountEvent>& mounts = watch.events();
        for (std::size_t i = 0; i < mounts.size(); ++i) {
            if (mounts[i].load && mounts[i].status == ERROR_SUCCESS) {
                EXPECT_LT(i + 1, mounts.size());
                if (i + 1 < mounts.size()) {
                    EXPECT_FALSE(mounts[i + 1].load);
                    EXPECT_EQ(ERROR_SUCCESS, mounts[i + 1].status);
                    // The directory search is the one handle open then.
                    EXPECT_EQ(1U, mounts[i + 1].openHandles);
                }
            }
        }
        EXPECT_FALSE(machine::hiveLoaded(preuninstall_test::kMountName));
        return mounts;
    }

    static void ran(const char* name) {
        g_caseNames.insert(name);
        ++g_casesRun;
    }

    HookLibrary dll;
    std::unique_ptr<ProfileFolders> folders;
    int deepLevels = 0;
    std::vector<std::wstring> victim;
    std::vector<std::wstring> hiveVictim;
    std::vector<std::wstring> lockedTask;
    std::map<std::wstring, std::vector<std::wstring>> hives;
};

const MountEvent* loadOf(const std::vector<MountEvent>& events, const std::wstring& file) {
    for (const MountEvent& event : events) {
        if (event.load && _wcsicmp(event.target.c_str(), file.c_str()) == 0) {
            return &event;
        }
    }
    return nullptr;
}

}  // namespace

TEST_P(HostileMachine, HookReturnsZeroRemovesWhatItCanAndChangesNothingElse) {
    const std::string hook = GetParam();
    const bool removal = isRemovalHook(hook);
    const Footprint footprint = footprintOf(hook);
    const std::vector<Region> before = snapshot(footprint);

    const std::vector<MountEvent> mounts = callHook(hook);
    expectSame(before, snapshot(footprint));

    if (!removal) {
        EXPECT_TRUE(mounts.empty());
    }

    // The product's settings key with everything in it goes, in one piece,
    // whatever it holds; the maker's key goes with it, being left empty.
    const bool settingsStay = !removal;
    EXPECT_EQ(settingsStay, machine::keyExists(HKEY_CURRENT_USER, kMakerKey));
    EXPECT_EQ(!settingsStay, machine::dumpTree(HKEY_USERS, join(kOtherUserHive, kSettingsKey)).empty());

    ran("key names of 255 characters");
    EXPECT_EQ(settingsStay,
              machine::keyExists(HKEY_CURRENT_USER, join(join(kSettingsKey, longKeyName(L'a')), longKeyName(L'd'))));

    ran("a subtree down to the registry's 512th level, 255-character names");
    EXPECT_EQ(settingsStay ? deepLevels : -1, machine::chainDepth(HKEY_CURRENT_USER, join(kSettingsKey, L"Deep")));

    ran("a registry link to another key of the same hive");
    EXPECT_EQ(hiveVictim, tree(HKEY_CURRENT_USER, kVictimKey, 0));
    EXPECT_EQ(settingsStay, hostile::linkExists(HKEY_CURRENT_USER, join(kSettingsKey, L"Beside")));

    ran("a registry link into HKLM");
    EXPECT_EQ(victim, tree(HKEY_LOCAL_MACHINE, kVictimKey, kView64));
    EXPECT_EQ(settingsStay, hostile::linkExists(HKEY_CURRENT_USER, join(kSettingsKey, L"Shortcut")));

    ran("a registry link whose target does not exist");
    EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, kMissingKey, kView64));
    EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, kMissingKey, kView32));
    EXPECT_EQ(settingsStay, hostile::linkExists(HKEY_CURRENT_USER, join(kSettingsKey, L"Dangling")));

    ran("hundreds of subkeys with values of every type");
    EXPECT_EQ(settingsStay, machine::valueExists(HKEY_CURRENT_USER, join(kSettingsKey, L"Bulk299"), L"EmptyNone"));

    ran("a REG_LINK SymbolicLinkValue on a key that is no link");
    EXPECT_EQ(settingsStay, machine::keyExists(HKEY_CURRENT_USER, join(kSettingsKey, L"NotALink\\Child")));

    // A hive file that is no hive is tried, refused and left as it was (the
    // snapshot holds its bytes); nothing is unmounted for it.
    for (const auto& [name, label] : {std::pair{kGarbageProfile, "a profile whose NTUSER.DAT is garbage"},
                                      std::pair{kEmptyProfile, "a profile whose NTUSER.DAT is empty"},
                                      std::pair{kFolderProfile, "a profile whose NTUSER.DAT is a folder"}}) {
        SCOPED_TRACE(label);
        ran(label);
        const MountEvent* load = loadOf(mounts, profileHive(name));
        EXPECT_EQ(removal, load != nullptr);
        if (load != nullptr) {
            EXPECT_NE(ERROR_SUCCESS, load->status);
            std::printf("  %s: RegLoadKeyW returned %ld%s\n", label, load->status,
                        load->leftoverUnmounted ? ", and Wine left an empty hive at the mount name" : "");
        }
    }

    // Profiles at the limits of a name are mounted, purged and unmounted
    // like any other; the sample's own profiles with them.
    struct Profile {
        std::wstring name;
        const char* label;  // null for the sample machine's own profiles
    };
    for (const auto& [name, label] : {
             Profile{kLongProfile, "a profile folder name of 255 characters (path beyond MAX_PATH)"},
             Profile{kUnicodeProfile, "a profile folder name with non-ASCII characters"},
             Profile{kLongUnicodeProfile, "the longest CJK profile folder name the file system holds"},
             Profile{L"Alice", nullptr},
             Profile{L"Bob", nullptr},
         }) {
        SCOPED_TRACE(machine::narrow(name));
        if (label != nullptr) {
            ran(label);
        }
        const MountEvent* load = loadOf(mounts, profileHive(name));
        EXPECT_EQ(removal, load != nullptr);
        if (load != nullptr) {
            EXPECT_EQ(ERROR_SUCCESS, load->status);
        }
        EXPECT_TRUE(holdsProduct(hives[name], true));
        const std::vector<std::wstring> expected = removal ? withoutProduct(hives[name], true) : hives[name];
        EXPECT_EQ(expected, machine::dumpHiveFile(profileHive(name)));
    }

    ran("a read-only Send To entry");
    // The platform refuses to delete a read-only file; the removal ignores
    // the refusal and goes on with the registry entries.
    const DWORD attributes = GetFileAttributesW(sample::shell::sendToFile().c_str());
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, attributes);
    EXPECT_NE(0U, attributes & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(removal, !machine::keyExists(HKEY_LOCAL_MACHINE, sample::shell::handlerKey()));
    EXPECT_EQ(removal, !machine::keyExists(HKEY_LOCAL_MACHINE, sample::shell::classKey()));

    ran("a task key that cannot be read");
    const bool migrated = hook == "DllPostInstall";
    // The migration moves the task before it and ends at it; the tasks after
    // it wait for a run that can read it.
    EXPECT_EQ(migrated, machine::keyExists(HKEY_LOCAL_MACHINE, join(kPlatformScheduler, L"Backup.zwtask"), kView32));
    EXPECT_EQ(!migrated, machine::keyExists(HKEY_LOCAL_MACHINE, join(kSuiteScheduler, L"Backup.zwtask"), kView32));
    EXPECT_TRUE(machine::keyExists(HKEY_LOCAL_MACHINE, join(kSuiteScheduler, L"Report.zwtask"), kView32));
    EXPECT_FALSE(machine::keyExists(HKEY_LOCAL_MACHINE, join(kPlatformScheduler, kLockedTask), kView32));
    ASSERT_TRUE(hostile::allowAll(HKEY_LOCAL_MACHINE, join(kSuiteScheduler, kLockedTask), kView32));
    EXPECT_EQ(lockedTask, tree(HKEY_LOCAL_MACHINE, join(kSuiteScheduler, kLockedTask), kView32));
    ASSERT_TRUE(hostile::denyRead(HKEY_LOCAL_MACHINE, join(kSuiteScheduler, kLockedTask), kView32));

    // A second call finds nothing more to do: only the stamp's moment moves.
    Footprint stampOnly;
    if (hook == "DllPostInstall") {
        stampOnly.hklm64 = {L"Korvan\\ZTB\\AppInfo\\Substitute : gmt"};
    }
    const std::vector<Region> once = snapshot(stampOnly);
    callHook(hook);
    expectSame(once, snapshot(stampOnly));
    for (const std::wstring& name : hiveProfiles()) {
        SCOPED_TRACE(machine::narrow(name));
        const std::vector<std::wstring> expected = removal ? withoutProduct(hives[name], true) : hives[name];
        EXPECT_EQ(expected, machine::dumpHiveFile(profileHive(name)));
    }
}

INSTANTIATE_TEST_SUITE_P(EveryHook, HostileMachine,
                         ::testing::Values("DllPostInstall", "DllCreateTasks", "DllPreUnInstall", "DllZudaUnInstall"));
