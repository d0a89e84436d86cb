#include "user_hives.h"

#include <gtest/gtest.h>

#include "machine/hives.h"
#include "machine/machine.h"
#include "support/platform.h"

namespace preuninstall_test {
namespace {

const wchar_t kTestHiveFolder[] = L"C:\\KorvanTestHives";

bool startsWith(const std::wstring& text, const std::wstring& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

std::wstring join(const std::wstring& parent, const std::wstring& child) {
    return parent.empty() ? child : parent + L"\\" + child;
}

void seedUserSettings(HKEY root, const std::wstring& hive) {
    // A write that fails would leave the purge nothing to find, and the
    // test comparing against this seed would pass without it.
    const auto written = [](bool ok, const std::wstring& where) {
        if (!ok) {
            ADD_FAILURE() << "cannot seed " << machine::narrow(where);
        }
    };
    const std::wstring run = join(hive, kRunKey);
    written(
        machine::setString(root, run, L"DelayShred", L"\"C:\\Program Files (x86)\\Korvan\\ZTB\\shred.exe\" /delayed"),
        run + L" : DelayShred");
    written(machine::setString(root, run, L"KorvanTestNeighbour", L"neighbour.exe /quiet"),
            run + L" : KorvanTestNeighbour");
    const std::wstring settings = join(hive, L"Software\\Korvan\\ZTB");
    written(machine::setString(root, settings, L"Language", L"en-US"), settings);
    const std::wstring eraser = join(settings, L"Eraser");
    written(machine::setDword(root, eraser, L"Passes", 3), eraser);
    const std::wstring schedule = join(eraser, L"Schedule");
    written(machine::setString(root, schedule, L"Day", L"Friday"), schedule);
    const std::wstring empty = join(settings, L"Empty");
    written(machine::createKey(root, empty), empty);
    const std::wstring neighbour = join(hive, L"Software\\KorvanTestNeighbour");
    written(machine::setString(root, neighbour, L"Keep", L"yes"), neighbour);
}

void clearCurrentUser() {
    machine::deleteTree(HKEY_CURRENT_USER, L"Software\\Korvan");
    machine::deleteTree(HKEY_CURRENT_USER, L"Software\\KorvanTestNeighbour");
    HKEY run = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_SET_VALUE, &run) == ERROR_SUCCESS) {
        RegDeleteValueW(run, L"DelayShred");
        RegDeleteValueW(run, L"KorvanTestNeighbour");
        RegCloseKey(run);
    }
}

std::vector<std::wstring> withoutProduct(const std::vector<std::wstring>& lines, bool runValue) {
    std::vector<std::wstring> kept;
    for (const std::wstring& line : lines) {
        const bool product = startsWith(line, L"[Software\\Korvan]") || startsWith(line, L"[Software\\Korvan\\") ||
                             startsWith(line, L"Software\\Korvan : ") || startsWith(line, L"Software\\Korvan\\");
        const bool runLine = startsWith(line, std::wstring(kRunKey) + L" : DelayShred = ");
        if (!product && !(runValue && runLine)) {
            kept.push_back(line);
        }
    }
    return kept;
}

bool holdsProduct(const std::vector<std::wstring>& lines, bool runValue) {
    const std::size_t withoutSettings = withoutProduct(lines, false).size();
    return withoutSettings < lines.size() && (!runValue || withoutProduct(lines, true).size() < withoutSettings);
}

TestHive::TestHive(std::wstring name) : name_(std::move(name)) {
    machine::createDirectories(kTestHiveFolder);
    file_ = std::wstring(kTestHiveFolder) + L"\\" + name_ + L".dat";
    mounted_ = machine::writeHiveFile(file_, [](HKEY, const std::wstring&) {}) && machine::loadHive(name_, file_);
}

TestHive::~TestHive() {
    if (mounted_) {
        machine::unloadHive(name_);
    }
    DeleteFileW(file_.c_str());
    RemoveDirectoryW(kTestHiveFolder);
}

std::vector<std::wstring> TestHive::dump() const { return machine::dumpTree(HKEY_USERS, name_); }

ProfileFolders::ProfileFolders(std::wstring directory) : directory_(std::move(directory)) {
    if (!machine::directoryExists(directory_)) {
        complete_ = machine::createDirectories(directory_);
        made_.push_back(directory_);
    }
}

ProfileFolders::~ProfileFolders() {
    for (auto made = made_.rbegin(); made != made_.rend(); ++made) {
        if (machine::fileExists(*made)) {
            DeleteFileW(made->c_str());
        } else {
            machine::removeDirectoryTree(*made);
        }
    }
}

std::wstring ProfileFolders::hiveFile(const std::wstring& name) const {
    return directory_ + L"\\" + name + L"\\NTUSER.DAT";
}

std::wstring ProfileFolders::addProfile(const std::wstring& name) {
    addFolder(name);
    const std::wstring file = hiveFile(name);
    complete_ =
        machine::writeHiveFile(file, [](HKEY root, const std::wstring& path) { seedUserSettings(root, path); }) &&
        complete_;
    return file;
}

void ProfileFolders::addFolder(const std::wstring& name) {
    const std::wstring folder = directory_ + L"\\" + name;
    // Never claim a folder that was there before: it is not ours to remove.
    if (machine::directoryExists(folder) || machine::fileExists(folder)) {
        complete_ = false;
        return;
    }
    made_.push_back(folder);
    complete_ = CreateDirectoryW(folder.c_str(), nullptr) != FALSE && complete_;
}

void ProfileFolders::addFile(const std::wstring& name) {
    const std::wstring file = directory_ + L"\\" + name;
    if (machine::directoryExists(file) || machine::fileExists(file)) {
        complete_ = false;
        return;
    }
    made_.push_back(file);
    complete_ = machine::writeFile(file, "not a profile") && complete_;
}

const MountEvent* unloadAfterLoadOf(const std::vector<MountEvent>& events, const std::wstring& file) {
    for (std::size_t i = 0; i + 1 < events.size(); ++i) {
        if (events[i].load && events[i].target == file && events[i].status == ERROR_SUCCESS && !events[i + 1].load) {
            return &events[i + 1];
        }
    }
    return nullptr;
}

std::vector<std::wstring> hiveAsUnmounted(const std::vector<MountEvent>& events, const std::wstring& file) {
    const MountEvent* unload = unloadAfterLoadOf(events, file);
    if (unload == nullptr) {
        ADD_FAILURE() << "never mounted and unmounted: " << machine::narrow(file);
        return {};
    }
    if (testing_support::onWine()) {
        return unload->content;
    }
    std::vector<std::wstring> written = machine::dumpHiveFile(file);
    EXPECT_EQ(unload->content, written) << "Windows: the unload writes the mounted hive back to its file";
    return written;
}

UsersWithProduct::UsersWithProduct() : loaded_(L"S-1-5-21-7000-7000-7000-1001") {
    alice_ = folders_.addProfile(L"KorvanAlice");
    aliceBefore_ = machine::dumpHiveFile(alice_);
    seedUserSettings(HKEY_USERS, loaded_.name());
    seedUserSettings(HKEY_CURRENT_USER, L"");
    loadedBefore_ = loaded_.dump();
    currentBefore_ = machine::dumpTree(HKEY_USERS, kCurrentUserHive);
}

UsersWithProduct::~UsersWithProduct() { clearCurrentUser(); }

void UsersWithProduct::expectPurged(const std::vector<MountEvent>& mounts) const {
    EXPECT_EQ(withoutProduct(currentBefore_, true), machine::dumpTree(HKEY_USERS, kCurrentUserHive));
    EXPECT_EQ(withoutProduct(loadedBefore_, false), loaded_.dump());
    EXPECT_FALSE(machine::hiveLoaded(kMountName));
    EXPECT_EQ(withoutProduct(aliceBefore_, true), hiveAsUnmounted(mounts, alice_));
}

namespace {

bool setPrivilege(const wchar_t* name, DWORD attributes) {
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token) == FALSE) {
        return false;
    }
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = attributes;
    const bool ok = LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) != FALSE &&
                    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) != FALSE;
    CloseHandle(token);
    return ok;
}

}  // namespace

bool disablePrivilege(const wchar_t* name) { return setPrivilege(name, 0) && !machine::privilegeEnabled(name); }

}  // namespace preuninstall_test
