#include "registry/RegistryKey.h"

#include <winternl.h>

extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key);

namespace installhooks {
namespace {

constexpr REGSAM kViewBits = KEY_WOW64_64KEY | KEY_WOW64_32KEY;
constexpr REGSAM kTreeAccess = KEY_READ | KEY_WRITE | DELETE;
constexpr DWORD kTreeNameLength = 256;

using RegDeleteKeyExWFn = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);

// Looked up once per process in the already loaded advapi32; null where the
// platform has no view-aware deletion.
RegDeleteKeyExWFn g_regDeleteKeyExW = nullptr;
bool g_regDeleteKeyExWLookedUp = false;

RegDeleteKeyExWFn regDeleteKeyExW() {
    if (!g_regDeleteKeyExWLookedUp) {
        HMODULE advapi = GetModuleHandleW(L"Advapi32.dll");
        if (advapi != nullptr) {
            // FARPROC becomes the function's own type through void*: the
            // compiler rejects the direct cast between function types.
            // NOLINTBEGIN(bugprone-casting-through-void)
            g_regDeleteKeyExW =
                reinterpret_cast<RegDeleteKeyExWFn>(reinterpret_cast<void*>(GetProcAddress(advapi, "RegDeleteKeyExW")));
            // NOLINTEND(bugprone-casting-through-void)
        }
        g_regDeleteKeyExWLookedUp = true;
    }
    return g_regDeleteKeyExW;
}

bool isEmptyName(const wchar_t* name) { return name == nullptr || name[0] == L'\0'; }

LONG toWin32(NTSTATUS status) { return status >= 0 ? ERROR_SUCCESS : static_cast<LONG>(RtlNtStatusToDosError(status)); }

}  // namespace

RegistryKey::~RegistryKey() { closeKey(); }

LONG RegistryKey::openKey(HKEY parent, const wchar_t* name, REGSAM access, DWORD options) {
    HKEY opened = nullptr;
    const LONG status = RegOpenKeyExW(parent, name, options, access, &opened);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const LONG closed = closeKey();
    handle_ = opened;
    view_ = access & kViewBits;
    return closed;
}

LONG RegistryKey::closeKey() {
    LONG status = ERROR_SUCCESS;
    if (handle_ != nullptr) {
        status = RegCloseKey(handle_);
        handle_ = nullptr;
    }
    view_ = 0;
    return status;
}

LONG RegistryKey::deleteChildKey(const wchar_t* name) {
    if (handle_ == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (isEmptyName(name)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (RegDeleteKeyExWFn deleteEx = regDeleteKeyExW(); deleteEx != nullptr) {
        return deleteEx(handle_, name, view_, 0);
    }
    return RegDeleteKeyW(handle_, name);
}

LONG RegistryKey::deleteKeyTree(const wchar_t* name) {
    if (handle_ == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (isEmptyName(name)) {
        return ERROR_INVALID_PARAMETER;
    }

    // Each key is opened as itself, so a link shows no subkeys and goes as
    // the link; and it is deleted through this same handle, so a key that
    // was emptied and then swapped for a link of the same name by whoever
    // owns it is not looked up again: that deletion fails, or meets the key
    // already gone, and the link's target stays untouched.
    HKEY opened = nullptr;
    LONG status = RegOpenKeyExW(handle_, name, REG_OPTION_OPEN_LINK, view_ | kTreeAccess, &opened);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    RegistryKey child;
    child.handle_ = opened;
    child.view_ = view_;

    for (;;) {
        wchar_t subkey[kTreeNameLength];
        DWORD length = kTreeNameLength;
        subkey[0] = L'\0';
        if (RegEnumKeyExW(child.handle_, 0, subkey, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        status = child.deleteKeyTree(subkey);
        if (status != ERROR_SUCCESS) {
            return status;
        }
    }
    status = child.deleteKey();
    child.closeKey();
    return status;
}

LONG RegistryKey::deleteKey() {
    if (handle_ == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    return toWin32(NtDeleteKey(handle_));
}

}  // namespace installhooks
