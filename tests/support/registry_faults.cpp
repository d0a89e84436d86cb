#include "support/registry_faults.h"

#include <cstring>
#include <cwctype>

namespace testing_support {
namespace {

CreateKeyFault* g_createFault = nullptr;
CopyKeyFault* g_copyFault = nullptr;

bool endsWithNoCase(const std::wstring& text, const std::wstring& suffix) {
    if (suffix.empty() || suffix.size() > text.size()) {
        return false;
    }
    for (std::size_t i = 0; i < suffix.size(); ++i) {
        if (std::towlower(text[text.size() - suffix.size() + i]) != std::towlower(suffix[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

struct CreateKeyFaultHook {
    using Fn = LONG(WINAPI*)(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD);

    static LONG WINAPI regCreateKeyExW(HKEY parent, LPCWSTR path, DWORD reserved, LPWSTR cls, DWORD options,
                                       REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                                       LPDWORD disposition) {
        CreateKeyFault& fault = *g_createFault;
        const std::wstring text = path != nullptr ? path : L"";
        fault.paths_.push_back(text);
        if (endsWithNoCase(text, fault.suffix_)) {
            ++fault.failures_;
            return fault.status_;
        }
        return fault.patch_->originalAs<Fn>()(parent, path, reserved, cls, options, access, security, result,
                                              disposition);
    }
};

struct CopyKeyFaultHook {
    using Fn = DWORD(WINAPI*)(HKEY, LPCWSTR, HKEY, DWORD);

    static DWORD WINAPI shCopyKeyW(HKEY source, LPCWSTR subkey, HKEY destination, DWORD reserved) {
        CopyKeyFault& fault = *g_copyFault;
        const std::wstring name = registryKeyName(source);
        fault.sources_.push_back(name.substr(name.rfind(L'\\') + 1));
        fault.subkeys_.push_back(subkey != nullptr ? subkey : L"");
        if (endsWithNoCase(name, fault.suffix_)) {
            return static_cast<DWORD>(fault.status_);
        }
        return fault.patch_->originalAs<Fn>()(source, subkey, destination, reserved);
    }
};

CreateKeyFault::CreateKeyFault(HMODULE module, std::wstring pathSuffix, LONG status)
    : suffix_(std::move(pathSuffix)), status_(status) {
    g_createFault = this;
    patch_ = std::make_unique<IatPatch>(module, "advapi32.dll", "RegCreateKeyExW",
                                        reinterpret_cast<const void*>(&CreateKeyFaultHook::regCreateKeyExW));
}

CreateKeyFault::~CreateKeyFault() {
    patch_.reset();
    g_createFault = nullptr;
}

CopyKeyFault::CopyKeyFault(HMODULE module, std::wstring sourceSuffix, LONG status)
    : suffix_(std::move(sourceSuffix)), status_(status) {
    g_copyFault = this;
    patch_ = std::make_unique<IatPatch>(module, "shlwapi.dll", "SHCopyKeyW",
                                        reinterpret_cast<const void*>(&CopyKeyFaultHook::shCopyKeyW));
}

CopyKeyFault::~CopyKeyFault() {
    patch_.reset();
    g_copyFault = nullptr;
}

std::wstring registryKeyName(HKEY key) {
    // KEY_NAME_INFORMATION: a byte length, then the name without terminator.
    using NtQueryKeyFn = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    static const auto ntQueryKey = reinterpret_cast<NtQueryKeyFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryKey")));
    constexpr int kKeyNameInformation = 3;
    alignas(ULONG) BYTE buffer[4096] = {};
    ULONG size = 0;
    if (ntQueryKey == nullptr || ntQueryKey(key, kKeyNameInformation, buffer, sizeof buffer, &size) < 0) {
        return {};
    }
    ULONG length = 0;
    std::memcpy(&length, buffer, sizeof length);
    return std::wstring(reinterpret_cast<const wchar_t*>(buffer + sizeof(ULONG)), length / sizeof(wchar_t));
}

}  // namespace testing_support
