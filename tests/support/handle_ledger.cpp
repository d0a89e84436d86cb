#include "support/handle_ledger.h"
#include "support/text.h"

namespace testing_support {

namespace {
HandleLedger* g_ledger = nullptr;
}  // namespace

struct LedgerHooks {
    using OpenEx = LONG(WINAPI*)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
    using Open = LONG(WINAPI*)(HKEY, LPCWSTR, PHKEY);
    using CreateEx = LONG(WINAPI*)(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD);
    using Close = LONG(WINAPI*)(HKEY);
    using FindFirst = HANDLE(WINAPI*)(LPCWSTR, LPWIN32_FIND_DATAW);
    using FindCloseFn = BOOL(WINAPI*)(HANDLE);
    using OpenToken = BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE);
    using CloseHandleFn = BOOL(WINAPI*)(HANDLE);

    static inline OpenEx openEx = nullptr;
    static inline Open open = nullptr;
    static inline CreateEx createEx = nullptr;
    static inline Close close = nullptr;
    static inline FindFirst findFirst = nullptr;
    static inline FindCloseFn findClose = nullptr;
    static inline OpenToken openToken = nullptr;
    static inline CloseHandleFn closeHandle = nullptr;

    static bool shouldFail(const wchar_t* path) {
        HandleLedger& l = *g_ledger;
        if (l.failStatus_ != ERROR_SUCCESS && endsWithNoCase(path != nullptr ? path : L"", l.failSuffix_)) {
            return true;
        }
        return false;
    }

    static void record(const char* function, HKEY parent, const wchar_t* path, DWORD options, REGSAM access,
                       LONG status, HKEY result) {
        HandleLedger& l = *g_ledger;
        l.opens_.push_back({function, parent, path != nullptr ? path : L"", options, access, status});
        if (status == ERROR_SUCCESS) {
            ++l.keyOpens_;
            l.keys_.insert(result);
        }
    }

    static LONG WINAPI regOpenKeyExW(HKEY parent, LPCWSTR path, DWORD options, REGSAM access, PHKEY result) {
        if (shouldFail(path)) {
            const LONG status = g_ledger->failStatus_;
            g_ledger->failStatus_ = ERROR_SUCCESS;
            record("RegOpenKeyExW", parent, path, options, access, status, nullptr);
            return status;
        }
        const LONG status = openEx(parent, path, options, access, result);
        record("RegOpenKeyExW", parent, path, options, access, status, status == ERROR_SUCCESS ? *result : nullptr);
        return status;
    }

    static LONG WINAPI regOpenKeyW(HKEY parent, LPCWSTR path, PHKEY result) {
        if (shouldFail(path)) {
            const LONG status = g_ledger->failStatus_;
            g_ledger->failStatus_ = ERROR_SUCCESS;
            record("RegOpenKeyW", parent, path, 0, 0, status, nullptr);
            return status;
        }
        const LONG status = open(parent, path, result);
        record("RegOpenKeyW", parent, path, 0, 0, status, status == ERROR_SUCCESS ? *result : nullptr);
        return status;
    }

    static LONG WINAPI regCreateKeyExW(HKEY parent, LPCWSTR path, DWORD reserved, LPWSTR cls, DWORD options,
                                       REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                                       LPDWORD disposition) {
        const LONG status = createEx(parent, path, reserved, cls, options, access, security, result, disposition);
        record("RegCreateKeyExW", parent, path, options, access, status, status == ERROR_SUCCESS ? *result : nullptr);
        return status;
    }

    static LONG WINAPI regCloseKey(HKEY key) {
        HandleLedger& l = *g_ledger;
        ++l.keyCloses_;
        if (l.keys_.erase(key) == 0) {
            ++l.strayCloses_;
        }
        return close(key);
    }

    static HANDLE WINAPI findFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
        HANDLE find = findFirst(pattern, data);
        if (find != INVALID_HANDLE_VALUE) {
            g_ledger->finds_.insert(find);
        }
        return find;
    }

    static BOOL WINAPI findCloseFile(HANDLE find) {
        if (g_ledger->finds_.erase(find) == 0) {
            ++g_ledger->strayCloses_;
        }
        return findClose(find);
    }

    static BOOL WINAPI openProcessToken(HANDLE process, DWORD access, PHANDLE token) {
        const BOOL ok = openToken(process, access, token);
        if (ok != FALSE) {
            g_ledger->tokens_.insert(*token);
        }
        return ok;
    }

    static BOOL WINAPI closeHandleAny(HANDLE handle) {
        g_ledger->tokens_.erase(handle);
        return closeHandle(handle);
    }
};

HandleLedger::HandleLedger(HMODULE module) {
    g_ledger = this;
    auto patch = [&](const char* dll, const char* function, const void* replacement, auto& original) {
        auto entry = std::make_unique<IatPatch>(module, dll, function, replacement);
        if (entry->applied()) {
            original = entry->originalAs<std::remove_reference_t<decltype(original)>>();
            patches_.push_back(std::move(entry));
        }
    };
    patch("advapi32.dll", "RegOpenKeyExW", reinterpret_cast<const void*>(&LedgerHooks::regOpenKeyExW),
          LedgerHooks::openEx);
    patch("advapi32.dll", "RegOpenKeyW", reinterpret_cast<const void*>(&LedgerHooks::regOpenKeyW), LedgerHooks::open);
    patch("advapi32.dll", "RegCreateKeyExW", reinterpret_cast<const void*>(&LedgerHooks::regCreateKeyExW),
          LedgerHooks::createEx);
    patch("advapi32.dll", "RegCloseKey", reinterpret_cast<const void*>(&LedgerHooks::regCloseKey), LedgerHooks::close);
    patch("kernel32.dll", "FindFirstFileW", reinterpret_cast<const void*>(&LedgerHooks::findFirstFileW),
          LedgerHooks::findFirst);
    patch("kernel32.dll", "FindClose", reinterpret_cast<const void*>(&LedgerHooks::findCloseFile),
          LedgerHooks::findClose);
    patch("advapi32.dll", "OpenProcessToken", reinterpret_cast<const void*>(&LedgerHooks::openProcessToken),
          LedgerHooks::openToken);
    patch("kernel32.dll", "CloseHandle", reinterpret_cast<const void*>(&LedgerHooks::closeHandleAny),
          LedgerHooks::closeHandle);
}

HandleLedger::~HandleLedger() {
    patches_.clear();
    g_ledger = nullptr;
}

std::size_t HandleLedger::openCount() const { return keys_.size() + finds_.size() + tokens_.size(); }

void HandleLedger::failOpen(const std::wstring& pathSuffix, LONG status) {
    failSuffix_ = pathSuffix;
    failStatus_ = status;
}

}  // namespace testing_support
