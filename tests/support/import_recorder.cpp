#include "support/import_recorder.h"

#include <cstring>

namespace testing_support {
namespace {

// Status codes the registry returns, FALSE/NULL with a last error from the
// kernel and security calls, E_FAIL from the shell, NULL from the allocator.
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
    {"malloc", 0, 0, 0},
    {"calloc", 0, 0, 0},
    {"realloc", 0, 0, 0},
};

ImportRecorder* g_recorder = nullptr;

constexpr std::size_t kThunkSize = 10;  // push imm32; jmp rel32

}  // namespace

// Read by the common thunk when a call is to fail.
extern "C" {
DWORD g_importFailPop = 0;
DWORD g_importFailReturn = 0;
void importThunkCommon();
int importDispatchC(DWORD* frame);
}

// frame[0] holds the import's index as the thunk pushed it, frame[1] the
// caller's return address. To pass the call on, frame[0] becomes the
// original function, which the common thunk then returns into.
int dispatchImport(DWORD* frame) {
    ImportRecorder& recorder = *g_recorder;
    const DWORD lastError = GetLastError();
    const std::size_t index = frame[0];
    const std::size_t position = recorder.calls_.size();
    recorder.calls_.push_back(index);
    if (position == recorder.failAt_) {
        if (const ImportFailure* failure = failureOf(recorder.imports_[index].function)) {
            recorder.injected_ = true;
            g_importFailPop = failure->argumentBytes;
            g_importFailReturn = failure->returnValue;
            SetLastError(failure->lastError != 0 ? failure->lastError : lastError);
            return 1;
        }
    }
    frame[0] = reinterpret_cast<DWORD>(recorder.originals_[index]);
    SetLastError(lastError);
    return 0;
}

extern "C" int importDispatchC(DWORD* frame) { return dispatchImport(frame); }

// Every thunk pushes its index and jumps here. On the failing path the
// arguments are dropped as the real function would (stdcall), the failure's
// value returned in eax; ecx is free to use, as in any call.
__asm__(
    ".text\n"
    ".globl _importThunkCommon\n"
    "_importThunkCommon:\n"
    "    pushal\n"
    "    leal 32(%esp), %eax\n"
    "    pushl %eax\n"
    "    call _importDispatchC\n"
    "    addl $4, %esp\n"
    "    testl %eax, %eax\n"
    "    jnz 1f\n"
    "    popal\n"
    "    ret\n"
    "1:\n"
    "    popal\n"
    "    addl $4, %esp\n"
    "    popl %ecx\n"
    "    addl _g_importFailPop, %esp\n"
    "    movl _g_importFailReturn, %eax\n"
    "    jmp *%ecx\n");

const ImportFailure* failureOf(const std::string& function) {
    for (const ImportFailure& failure : kFailures) {
        if (function == failure.function) {
            return &failure;
        }
    }
    return nullptr;
}

ImportRecorder::ImportRecorder(HMODULE module) : imports_(listImports(module)) {
    g_recorder = this;
    thunks_ = static_cast<BYTE*>(
        VirtualAlloc(nullptr, imports_.size() * kThunkSize + 16, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
    originals_.reserve(imports_.size());
    calls_.reserve(1 << 16);
    for (std::size_t i = 0; i < imports_.size(); ++i) {
        BYTE* thunk = thunks_ + i * kThunkSize;
        const auto index = static_cast<DWORD>(i);
        const auto target = reinterpret_cast<BYTE*>(&importThunkCommon);
        const auto relative = static_cast<DWORD>(target - (thunk + kThunkSize));
        thunk[0] = 0x68;  // push imm32
        std::memcpy(thunk + 1, &index, 4);
        thunk[5] = 0xE9;  // jmp rel32
        std::memcpy(thunk + 6, &relative, 4);

        void** slot = imports_[i].slot;
        originals_.push_back(*slot);
        DWORD protection = 0;
        VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &protection);
        *slot = thunk;
        VirtualProtect(slot, sizeof(void*), protection, &protection);
    }
    FlushInstructionCache(GetCurrentProcess(), thunks_, imports_.size() * kThunkSize);
}

ImportRecorder::~ImportRecorder() {
    for (std::size_t i = 0; i < imports_.size(); ++i) {
        void** slot = imports_[i].slot;
        DWORD protection = 0;
        VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &protection);
        *slot = originals_[i];
        VirtualProtect(slot, sizeof(void*), protection, &protection);
    }
    VirtualFree(thunks_, 0, MEM_RELEASE);
    g_recorder = nullptr;
}

std::vector<std::string> ImportRecorder::callNames() const {
    std::vector<std::string> names;
    names.reserve(calls_.size());
    for (std::size_t index : calls_) {
        names.push_back(imports_[index].function);
    }
    return names;
}

void ImportRecorder::clear() {
    calls_.clear();
    failAt_ = static_cast<std::size_t>(-1);
    injected_ = false;
}

void ImportRecorder::failCall(std::size_t position) {
    failAt_ = position;
    injected_ = false;
}

}  // namespace testing_support
