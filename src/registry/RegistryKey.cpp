#include "registry/RegistryKey.h"

#include <winternl.h>

extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key);

namespace installhooks {
namespace {

constexpr REGSAM kViewBits = KEY_WOW64_64KEY | KEY_WOW64_32KEY;
constexpr REGSAM kTreeAccess = KEY_READ | KEY_WRITE;
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
            g_regDeleteKeyExW =
                reinterpret_cast<RegDeleteKeyExWFn>(reinterpret_cast<void*>(GetProcAddress(advapi, "RegDeleteKeyExW")));
        }
        g_regDeleteKeyExWLookedUp = true;
    }
    return g_regDeleteKeyExW;
}

bool isEmptyName(const wchar_t* name) { return name == nullptr || name[0] == L'\0'; }

// A key opened with REG_OPTION_OPEN_LINK is a registry link when it carries
// the REG_LINK value that names its target. Such a key shows no subkeys of
// its own, so the walk reaches it as a leaf. Anyone may write that value
// into an ordinary key too, so the test alone does not make a key a link.
bool isLinkKey(HKEY key) {
    DWORD type = REG_NONE;
    return RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS &&
           type == REG_LINK;
}

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

bool RegistryKey::isLink() const { return handle_ != nullptr && isLinkKey(handle_); }

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

    // Every key of the subtree is opened as itself, never through a link, so
    // a link planted in the subtree cannot lead the walk out of it.
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
    // Only now is the link test made: a link opened as itself shows no
    // subkeys, so the walk above found none, while an ordinary key that
    // merely carries a value of the link type has just lost its subkeys and
    // can go as itself like a link.
    const bool link = isLinkKey(child.handle_);
    child.closeKey();
    return link ? deleteLinkKey(name) : deleteChildKey(name);
}

// A link is deleted through a handle on the link itself: deleting it by name
// from its parent would resolve the link and delete its target instead.
LONG RegistryKey::deleteLinkKey(const wchar_t* name) {
    HKEY link = nullptr;
    const LONG status = RegOpenKeyExW(handle_, name, REG_OPTION_OPEN_LINK, view_ | DELETE, &link);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const NTSTATUS deleted = NtDeleteKey(link);
    RegCloseKey(link);
    return deleted >= 0 ? ERROR_SUCCESS : static_cast<LONG>(RtlNtStatusToDosError(deleted));
}

}  // namespace installhooks
