#include "postinstall/postinstall.h"

#include <windows.h>

#include <shlobj.h>

#include "common/compose.h"
#include "common/unique_handle.h"
#include "registry/RegistryKey.h"

namespace installhooks {
namespace {

// The agent's data files of older releases, relative to Program Files, in
// the order they are deleted.
constexpr const wchar_t* kObsoleteFiles[] = {
    L"KorvanNet\\Agent\\app\\shred.adf",
    L"KorvanNet\\Agent\\app\\shd.adf",
    L"KorvanNet\\Agent\\app\\ZWL.ADF",
};

constexpr wchar_t kSubstituteKey[] = L"Software\\Korvan\\ZTB\\AppInfo\\Substitute";
constexpr const wchar_t* kObsoleteValues[] = {L"buildLD", L"domain", L"lang"};
constexpr wchar_t kAppInfoKey[] = L"Software\\Korvan\\ZTB\\AppInfo";
constexpr wchar_t kOemKey[] = L"OEM";
constexpr wchar_t kPresetKey[] = L"Software\\Korvan\\ZHN\\Settings\\TaskSchedulePreset\\ZKW";
constexpr wchar_t kPresetParentKey[] = L"Software\\Korvan\\ZHN\\Settings\\TaskSchedulePreset\\";
constexpr wchar_t kPresetName[] = L"ZKW";

}  // namespace

bool deleteObsoleteDataFiles() {
    // The folder the 32-bit installer sees: on 64-bit Windows that is
    // "Program Files (x86)", where the agent of older releases was installed.
    wchar_t programFiles[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, programFiles) != S_OK) {
        return false;
    }
    // A file that is already gone, or cannot be deleted, does not keep the
    // others from going.
    for (const wchar_t* relative : kObsoleteFiles) {
        const HeapString path = composePath(L"%s\\%s", {programFiles, relative});
        if (path.empty()) {
            return true;
        }
        DeleteFileW(path.get());
    }
    return true;
}

bool removeObsoleteSettings() {
    // Every key below is reached in the default view: on 64-bit Windows the
    // 32-bit view, where older releases of this 32-bit product wrote them.
    RegistryKey key;

    if (key.openKey(HKEY_LOCAL_MACHINE, kSubstituteKey, KEY_READ | KEY_WRITE) == ERROR_SUCCESS) {
        for (const wchar_t* value : kObsoleteValues) {
            RegDeleteValueW(key.handle(), value);
        }
        key.closeKey();
    }

    // "OEM" goes only while it has no subkeys of its own.
    if (key.openKey(HKEY_LOCAL_MACHINE, kAppInfoKey, KEY_READ | KEY_WRITE) == ERROR_SUCCESS) {
        key.deleteChildKey(kOemKey);
        key.closeKey();
    }

    // The preset's parent is opened with full access only when there is a
    // preset to delete.
    UniqueHKey preset;
    if (RegOpenKeyW(HKEY_LOCAL_MACHINE, kPresetKey, preset.put()) == ERROR_SUCCESS) {
        preset.reset();
        if (key.openKey(HKEY_LOCAL_MACHINE, kPresetParentKey, KEY_ALL_ACCESS) == ERROR_SUCCESS) {
            key.deleteKeyTree(kPresetName);
            key.closeKey();
        }
    }

    key.closeKey();
    return true;
}

}  // namespace installhooks
