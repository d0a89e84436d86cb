#include "machine/hives.h"

#include "machine/machine.h"

namespace machine {
namespace {

const wchar_t kScratch[] = L"Software\\KorvanHiveScratch";
const wchar_t kReadMount[] = L"KorvanHiveRead";

}  // namespace

bool writeHiveFile(const std::wstring& file, const std::function<void(HKEY root, const std::wstring& path)>& fill) {
    deleteTree(HKEY_CURRENT_USER, kScratch);
    if (!createKey(HKEY_CURRENT_USER, kScratch)) {
        return false;
    }
    fill(HKEY_CURRENT_USER, kScratch);
    const bool saved = saveHive(HKEY_CURRENT_USER, kScratch, file);
    return deleteTree(HKEY_CURRENT_USER, kScratch) && saved;
}

bool saveHive(HKEY root, const std::wstring& path, const std::wstring& file) {
    if (!enablePrivilege(L"SeBackupPrivilege")) {
        return false;
    }
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    // Windows refuses to write over an existing file.
    DeleteFileW(file.c_str());
    const LONG status = RegSaveKeyW(key, file.c_str(), nullptr);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool loadHive(const std::wstring& name, const std::wstring& file) {
    return enablePrivilege(L"SeRestorePrivilege") &&
           RegLoadKeyW(HKEY_USERS, name.c_str(), file.c_str()) == ERROR_SUCCESS;
}

bool unloadHive(const std::wstring& name) {
    if (!hiveLoaded(name)) {
        return true;
    }
    enablePrivilege(L"SeRestorePrivilege");
    RegUnLoadKeyW(HKEY_USERS, name.c_str());
    return !hiveLoaded(name);
}

bool hiveLoaded(const std::wstring& name) { return keyExists(HKEY_USERS, name); }

std::vector<std::wstring> dumpHiveFile(const std::wstring& file, const DumpOptions& options) {
    unloadHive(kReadMount);
    if (!loadHive(kReadMount, file)) {
        return {};
    }
    std::vector<std::wstring> lines = dumpTree(HKEY_USERS, kReadMount, kDefaultView, options);
    unloadHive(kReadMount);
    return lines;
}

}  // namespace machine
