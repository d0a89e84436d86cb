#include "support/registry_faults.h"

#include "machine/machine.h"
#include "support/text.h"

namespace testing_support {
namespace {

CreateKeyFault* g_createFault = nullptr;
CopyKeyFault* g_copyFault = nullptr;

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

std::wstring registryKeyName(HKEY key) { return machine::kernelKeyName(key); }

}  // namespace testing_support
