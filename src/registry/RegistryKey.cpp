#include "registry/RegistryKey.h"

#include <winternl.h>

extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key);

namespace installhooks {
namespace {

constexpr REGSAM kViewBits = KEY_WOW64_64KEY | KEY_WOW64_32KEY;
constexpr REGSAM kTreeAccess = KEY_READ | KEY_WRITE | DELETE;
constexpr DWORD kTreeNameLength = 256;
// The registry keeps a key tree to 512 levels below a hive's root, so no
// subtree on Windows is deeper. Wine keeps deeper ones; their walk ends with
// the status of a name longer than the platform can take.
constexpr DWORD kTreeDepthLimit = 512;
constexpr LONG kTreeTooDeep = ERROR_FILENAME_EXCED_RANGE;

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

// A key of the subtree that deleteKeyTree holds on its way down.
struct HeldKey {
    RegistryKey key;
    DWORD subkeysLeft = 0;
};

// Each key is opened as itself, so a link shows no subkeys and goes as the
// link; and it is deleted through this same handle, so a key that was
// emptied and then swapped for a link of the same name by whoever owns it is
// not looked up again: that deletion fails, or meets the key already gone,
// and the link's target stays untouched. The count takes the place of the
// enumeration that would find no more subkeys.
LONG openHeldKey(HeldKey& held, HKEY parent, const wchar_t* name, REGSAM view) {
    const LONG status = held.key.openKey(parent, name, view | kTreeAccess, REG_OPTION_OPEN_LINK);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    return held.key.countSubkeys(held.subkeysLeft);
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

    // The keys from `name` down to the one being emptied, each with what is
    // left of the subkey count it had when it was opened. Whoever owns the
    // subtree may add keys while the walk runs; a key is enumerated no more
    // often than its count, so the walk comes to an end, and a key that
    // gained subkeys meanwhile is refused its deletion, which ends the walk
    // with the platform's status.
    HeldKey held[kTreeDepthLimit];
    wchar_t subkey[kTreeNameLength];
    LONG status = openHeldKey(held[0], handle_, name, view_);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    DWORD depth = 1;
    while (depth != 0) {
        HeldKey& current = held[depth - 1];
        if (current.subkeysLeft != 0) {
            if (depth == kTreeDepthLimit) {
                return kTreeTooDeep;
            }
            --current.subkeysLeft;
            DWORD length = kTreeNameLength;
            subkey[0] = L'\0';
            if (RegEnumKeyExW(current.key.handle(), 0, subkey, &length, nullptr, nullptr, nullptr, nullptr) ==
                ERROR_SUCCESS) {
                status = openHeldKey(held[depth], current.key.handle(), subkey, view_);
                if (status != ERROR_SUCCESS) {
                    return status;
                }
                ++depth;
                continue;
            }
            // Fewer subkeys than counted, or a name longer than the registry
            // allows: the deletion tells whether any remain.
            current.subkeysLeft = 0;
        }
        status = current.key.deleteKey();
        if (status != ERROR_SUCCESS) {
            return status;
        }
        current.key.closeKey();
        --depth;
    }
    return ERROR_SUCCESS;
}

LONG RegistryKey::countSubkeys(DWORD& count) const {
    if (handle_ == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    return RegQueryInfoKeyW(handle_, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr);
}

LONG RegistryKey::deleteKey() {
    if (handle_ == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    return toWin32(NtDeleteKey(handle_));
}

}  // namespace installhooks
