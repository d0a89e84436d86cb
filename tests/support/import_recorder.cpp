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
    {"NtDeleteKey", 4, static_cast<DWORD>(0xC0000022L), 0},     // STATUS_ACCESS_DENIED
    {"NtQueryKey", 20, static_cast<DWORD>(0xC0000022L), 0},     // STATUS_ACCESS_DENIED
    {"RegDeleteKeyExW", 16, ERROR_ACCESS_DENIED, 0},
    {"malloc", 0, 0, 0},
    {"calloc", 0, 0, 0},
    {"realloc", 0, 0, 0},
};

ImportRecorder* g_recorder = nullptr;

constexpr std::size_t kThunkSize = 10;  // push imm32; jmp rel32
// Thunks for functions that the module looks up with GetProcAddress.
constexpr std::size_t kLookedUpThunks = 16;

}  // namespace

// Read by the common thunk when a call is to fail.
extern "C" {
DWORD g_importFailPop = 0;
DWORD g_importFailReturn = 0;
void importThunkCommon();
int importDispatchC(DWORD* frame);
}

// The wrappers of the calls that open and close handles: each calls the
// original function, then counts the handle that it opened or closed.
struct HandleWrappers {
    static ImportRecorder& recorder() { return *g_recorder; }
    template <typename Fn>
    static Fn original(const char* function) {
        return reinterpret_cast<Fn>(recorder().originalOf(function));
    }
    // A close that was made to fail: the handle went all the same, the
    // caller sees the failure.
    static bool takeCloseFailure(DWORD& value) {
        ImportRecorder& r = recorder();
        if (r.closeFailure_ == nullptr) {
            return false;
        }
        value = r.closeFailure_->returnValue;
        if (r.closeFailure_->lastError != 0) {
            SetLastError(r.closeFailure_->lastError);
        }
        r.closeFailure_ = nullptr;
        return true;
    }
    template <typename Handle>
    static void closed(std::set<Handle>& open, Handle handle) {
        if (open.erase(handle) == 0) {
            ++recorder().strayCloses_;
        }
    }

    static LONG WINAPI regOpenKeyExW(HKEY parent, LPCWSTR name, DWORD options, REGSAM access, PHKEY result) {
        using Fn = LONG(WINAPI*)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
        const LONG status = original<Fn>("RegOpenKeyExW")(parent, name, options, access, result);
        if (status == ERROR_SUCCESS && result != nullptr) {
            recorder().openKeys_.insert(*result);
        }
        return status;
    }
    static LONG WINAPI regOpenKeyW(HKEY parent, LPCWSTR name, PHKEY result) {
        using Fn = LONG(WINAPI*)(HKEY, LPCWSTR, PHKEY);
        const LONG status = original<Fn>("RegOpenKeyW")(parent, name, result);
        if (status == ERROR_SUCCESS && result != nullptr) {
            recorder().openKeys_.insert(*result);
        }
        return status;
    }
    static LONG WINAPI regCreateKeyExW(HKEY parent, LPCWSTR name, DWORD reserved, LPWSTR keyClass, DWORD options,
                                       REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                                       LPDWORD disposition) {
        using Fn = LONG(WINAPI*)(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD);
        const LONG status = original<Fn>("RegCreateKeyExW")(parent, name, reserved, keyClass, options, access, security,
                                                            result, disposition);
        if (status == ERROR_SUCCESS && result != nullptr) {
            recorder().openKeys_.insert(*result);
        }
        return status;
    }
    static LONG WINAPI regCloseKey(HKEY key) {
        using Fn = LONG(WINAPI*)(HKEY);
        LONG status = original<Fn>("RegCloseKey")(key);
        closed(recorder().openKeys_, key);
        DWORD failure = 0;
        if (takeCloseFailure(failure)) {
            status = static_cast<LONG>(failure);
        }
        return status;
    }
    static HANDLE WINAPI findFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
        using Fn = HANDLE(WINAPI*)(LPCWSTR, LPWIN32_FIND_DATAW);
        HANDLE find = original<Fn>("FindFirstFileW")(pattern, data);
        if (find != INVALID_HANDLE_VALUE) {
            recorder().openFinds_.insert(find);
        }
        return find;
    }
    static BOOL WINAPI findClose(HANDLE find) {
        using Fn = BOOL(WINAPI*)(HANDLE);
        BOOL result = original<Fn>("FindClose")(find);
        closed(recorder().openFinds_, find);
        DWORD failure = 0;
        if (takeCloseFailure(failure)) {
            result = static_cast<BOOL>(failure);
        }
        return result;
    }
    static BOOL WINAPI openProcessToken(HANDLE process, DWORD access, PHANDLE token) {
        using Fn = BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE);
        const BOOL result = original<Fn>("OpenProcessToken")(process, access, token);
        if (result != FALSE && token != nullptr) {
            recorder().openTokens_.insert(*token);
        }
        return result;
    }
    // A failable function that the module looks up by name is handed out as
    // a thunk of its own, so its calls are recorded and failable like those
    // made through the import table.
    static FARPROC WINAPI getProcAddress(HMODULE module, LPCSTR name) {
        using Fn = FARPROC(WINAPI*)(HMODULE, LPCSTR);
        FARPROC found = original<Fn>("GetProcAddress")(module, name);
        if (found != nullptr && HIWORD(reinterpret_cast<ULONG_PTR>(name)) != 0 && failureOf(name) != nullptr) {
            const DWORD lastError = GetLastError();
            if (void* thunk = recorder().lookedUpThunk(name, reinterpret_cast<void*>(found))) {
                found = reinterpret_cast<FARPROC>(thunk);
            }
            SetLastError(lastError);
        }
        return found;
    }
    static BOOL WINAPI closeHandle(HANDLE handle) {
        using Fn = BOOL(WINAPI*)(HANDLE);
        BOOL result = original<Fn>("CloseHandle")(handle);
        closed(recorder().openTokens_, handle);
        DWORD failure = 0;
        if (takeCloseFailure(failure)) {
            result = static_cast<BOOL>(failure);
        }
        return result;
    }
};

namespace {

struct Wrapper {
    const char* function;
    void* wrapper;
    bool closes;
};

const Wrapper kWrappers[] = {
    {"RegOpenKeyExW", reinterpret_cast<void*>(&HandleWrappers::regOpenKeyExW), false},
    {"RegOpenKeyW", reinterpret_cast<void*>(&HandleWrappers::regOpenKeyW), false},
    {"RegCreateKeyExW", reinterpret_cast<void*>(&HandleWrappers::regCreateKeyExW), false},
    {"RegCloseKey", reinterpret_cast<void*>(&HandleWrappers::regCloseKey), true},
    {"FindFirstFileW", reinterpret_cast<void*>(&HandleWrappers::findFirstFileW), false},
    {"FindClose", reinterpret_cast<void*>(&HandleWrappers::findClose), true},
    {"OpenProcessToken", reinterpret_cast<void*>(&HandleWrappers::openProcessToken), false},
    {"CloseHandle", reinterpret_cast<void*>(&HandleWrappers::closeHandle), true},
    {"GetProcAddress", reinterpret_cast<void*>(&HandleWrappers::getProcAddress), false},
};

const Wrapper* wrapperOf(const std::string& function) {
    for (const Wrapper& wrapper : kWrappers) {
        if (function == wrapper.function) {
            return &wrapper;
        }
    }
    return nullptr;
}

}  // namespace

// frame[0] holds the import's index as the thunk pushed it, frame[1] the
// caller's return address. To pass the call on, frame[0] becomes the
// original function (or its wrapper), which the common thunk then returns
// into, so that it runs as if the module had called it directly.
int dispatchImport(DWORD* frame) {
    ImportRecorder& recorder = *g_recorder;
    const DWORD lastError = GetLastError();
    const std::size_t index = frame[0];
    const std::size_t position = recorder.calls_.size();
    recorder.calls_.push_back(index);
    if (recorder.observer_) {
        recorder.observer_(position, recorder.imports_[index].function, frame + 2);
    }
    void* target = recorder.wrappers_[index] != nullptr ? recorder.wrappers_[index] : recorder.originals_[index];
    if (position == recorder.failAt_) {
        if (const ImportFailure* failure = failureOf(recorder.imports_[index].function)) {
            recorder.injected_ = true;
            const Wrapper* wrapper = wrapperOf(recorder.imports_[index].function);
            if (wrapper != nullptr && wrapper->closes) {
                recorder.closeFailure_ = failure;
                frame[0] = reinterpret_cast<DWORD>(target);
                SetLastError(lastError);
                return 0;
            }
            g_importFailPop = failure->argumentBytes;
            g_importFailReturn = failure->returnValue;
            SetLastError(failure->lastError != 0 ? failure->lastError : lastError);
            return 1;
        }
    }
    frame[0] = reinterpret_cast<DWORD>(target);
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

void ImportRecorder::writeThunk(std::size_t index) {
    BYTE* thunk = thunks_ + index * kThunkSize;
    const auto value = static_cast<DWORD>(index);
    const auto target = reinterpret_cast<BYTE*>(&importThunkCommon);
    const auto relative = static_cast<DWORD>(target - (thunk + kThunkSize));
    thunk[0] = 0x68;  // push imm32
    std::memcpy(thunk + 1, &value, 4);
    thunk[5] = 0xE9;  // jmp rel32
    std::memcpy(thunk + 6, &relative, 4);
    FlushInstructionCache(GetCurrentProcess(), thunk, kThunkSize);
}

void* ImportRecorder::lookedUpThunk(const char* function, void* original) {
    for (std::size_t i = patched_; i < imports_.size(); ++i) {
        if (imports_[i].function == function && originals_[i] == original) {
            return thunks_ + i * kThunkSize;
        }
    }
    if (imports_.size() >= patched_ + kLookedUpThunks) {
        return nullptr;
    }
    imports_.push_back({"GetProcAddress", function, nullptr});
    originals_.push_back(original);
    wrappers_.push_back(nullptr);
    writeThunk(imports_.size() - 1);
    return thunks_ + (imports_.size() - 1) * kThunkSize;
}

ImportRecorder::ImportRecorder(HMODULE module) : imports_(listImports(module)), patched_(imports_.size()) {
    g_recorder = this;
    thunks_ = static_cast<BYTE*>(VirtualAlloc(nullptr, (patched_ + kLookedUpThunks) * kThunkSize + 16,
                                              MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
    imports_.reserve(patched_ + kLookedUpThunks);
    originals_.reserve(patched_ + kLookedUpThunks);
    wrappers_.reserve(patched_ + kLookedUpThunks);
    calls_.reserve(1 << 16);
    for (std::size_t i = 0; i < patched_; ++i) {
        writeThunk(i);
        void** slot = imports_[i].slot;
        originals_.push_back(*slot);
        const Wrapper* wrapper = wrapperOf(imports_[i].function);
        wrappers_.push_back(wrapper != nullptr ? wrapper->wrapper : nullptr);
        DWORD protection = 0;
        VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &protection);
        *slot = thunks_ + i * kThunkSize;
        VirtualProtect(slot, sizeof(void*), protection, &protection);
    }
}

ImportRecorder::~ImportRecorder() {
    for (std::size_t i = 0; i < patched_; ++i) {
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
    openKeys_.clear();
    openFinds_.clear();
    openTokens_.clear();
    strayCloses_ = 0;
    closeFailure_ = nullptr;
}

void* ImportRecorder::originalOf(const char* function) const {
    for (std::size_t i = 0; i < imports_.size(); ++i) {
        if (imports_[i].function == function) {
            return originals_[i];
        }
    }
    return nullptr;
}

void ImportRecorder::closeLeftovers() {
    // The test program's own imports: the module may not import them all.
    for (HKEY key : openKeys_) {
        RegCloseKey(key);
    }
    for (HANDLE find : openFinds_) {
        FindClose(find);
    }
    for (HANDLE token : openTokens_) {
        CloseHandle(token);
    }
    openKeys_.clear();
    openFinds_.clear();
    openTokens_.clear();
}

void ImportRecorder::failCall(std::size_t position) {
    failAt_ = position;
    injected_ = false;
}

}  // namespace testing_support
