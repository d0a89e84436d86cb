#include <windows.h>

#include "support/import_recorder.h"

namespace testing_support {
namespace {

// Status codes the registry returns, FALSE/NULL with a last error from the
// kernel and security calls, E_FAIL from the shell, NULL from the process heap.
const ImportFailure kFailures[] = {
    {"RegOpenKeyExW", 20, ERROR_ACCESS_DENIED, 0},
    {"RegOpenKeyW", 12, ERROR_ACCESS_DENIED, 0},
    {"RegCreateKeyExW", 36, ERROR_ACCESS_DENIED, 0},
    {"RegCloseKey", 4, ERROR_INVALID_HANDLE, 0},
    {"RegEnumKeyExW", 32, ERROR_ACCESS_DENIED, 0},
    {"RegQueryInfoKeyW", 48, ERROR_ACCESS_DENIED, 0},
    {"RegQueryValueExW", 24, ERROR_ACCESS_DENIED, 0},
    {"RegSetValueExW", 24, ERROR_ACCESS_DENIED, 0},
    {"RegDeleteValueW", 8, ERROR_ACCESS_DENIED, 0},
    {"RegDeleteKeyW", 8, ERROR_ACCESS_DENIED, 0},
    {"RegLoadKeyW", 12, ERROR_PRIVILEGE_NOT_HELD, 0},
    {"RegUnLoadKeyW", 8, ERROR_ACCESS_DENIED, 0},
    {"OpenProcessToken", 12, FALSE, ERROR_ACCESS_DENIED},
    {"LookupPrivilegeValueW", 12, FALSE, ERROR_NO_SUCH_PRIVILEGE},
    {"AdjustTokenPrivileges", 24, FALSE, ERROR_ACCESS_DENIED},
    {"GetUserNameW", 8, FALSE, ERROR_ACCESS_DENIED},
    {"SHGetFolderPathW", 20, static_cast<DWORD>(E_FAIL), 0},
    {"SHCopyKeyW", 16, ERROR_ACCESS_DENIED, 0},
    {"StringFromGUID2", 12, 0, 0},
    {"DeleteFileW", 4, FALSE, ERROR_ACCESS_DENIED},
    {"FindFirstFileW", 8, reinterpret_cast<DWORD>(INVALID_HANDLE_VALUE), ERROR_ACCESS_DENIED},
    {"FindNextFileW", 8, FALSE, ERROR_ACCESS_DENIED},
    {"FindClose", 4, FALSE, ERROR_INVALID_HANDLE},
    {"CloseHandle", 4, FALSE, ERROR_INVALID_HANDLE},
    {"GetModuleHandleW", 4, 0, ERROR_MOD_NOT_FOUND},
    {"GetProcAddress", 8, 0, ERROR_PROC_NOT_FOUND},
    {"GetDateFormatW", 24, 0, ERROR_INVALID_PARAMETER},
    {"NtDeleteKey", 4, static_cast<DWORD>(0xC0000022L), 0},  // STATUS_ACCESS_DENIED
    {"RegDeleteKeyExW", 16, ERROR_ACCESS_DENIED, 0},
    {"HeapAlloc", 12, 0, 0},
};

}  // namespace

const ImportFailure* failureOf(const std::string& function) {
    for (const ImportFailure& failure : kFailures) {
        if (function == failure.function) {
            return &failure;
        }
    }
    return nullptr;
}

}  // namespace testing_support
