#include "postinstall/postinstall.h"

#include <windows.h>

#include "common/unique_handle.h"

namespace installhooks {
namespace {

constexpr wchar_t kSubstituteKey[] = L"Software\\Korvan\\ZTB\\AppInfo\\Substitute";
constexpr DWORD kDateUnits = 128;

}  // namespace

void stampInstallDate() {
    // The date is taken before the time.
    wchar_t date[kDateUnits] = {};
    GetDateFormatW(LOCALE_USER_DEFAULT, 0, nullptr, nullptr, date, static_cast<int>(kDateUnits));

    SYSTEMTIME now = {};
    GetSystemTime(&now);

    UniqueHKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSubstituteKey, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, key.put()) !=
        ERROR_SUCCESS) {
        return;
    }

    // Deleting first replaces a value of any older type or size outright.
    RegDeleteValueW(key.get(), L"gmt");
    RegSetValueExW(key.get(), L"gmt", 0, REG_BINARY, reinterpret_cast<const BYTE*>(&now), sizeof now);
    RegDeleteValueW(key.get(), L"date");
    RegSetValueExW(key.get(), L"date", 0, REG_SZ, reinterpret_cast<const BYTE*>(date), sizeof date);
}

}  // namespace installhooks
