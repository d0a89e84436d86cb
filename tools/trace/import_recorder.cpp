#include "trace/import_recorder.h"

#include <cstring>

namespace trace {
namespace {

ImportRecorder* g_recorder = nullptr;

constexpr std::size_t kThunkSize = 10;  // push imm32; jmp rel32
// Thunks for functions that the module looks up with GetProcAddress.
constexpr std::size_t kLookedUpThunks = 16;

// The thread id from the thread's own block (fs:[0x24]): asking kernel32
// would pass through the thunks of a recorded program that imports it.
DWORD currentThread() { return __readfsdword(0x24); }

// A variable that a DLL exports (the C runtime's _iob) is imported like a
// function, but is read through its slot: it keeps its address.
bool isCode(const void* address) {
    MEMORY_BASIC_INFORMATION region{};
    if (VirtualQuery(address, &region, sizeof region) == 0) {
        return false;
    }
    return (region.Protect & (PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY)) != 0;
}

bool isClose(const std::string& function) {
    return function == "RegCloseKey" || function == "FindClose" || function == "CloseHandle";
}

template <typename Handle>
Handle outHandle(DWORD pointer) {
    return pointer != 0 ? *reinterpret_cast<Handle*>(pointer) : nullptr;
}

}  // namespace

// Read by the common thunk when a call is to fail.
extern "C" {
DWORD g_importFailPop = 0;
DWORD g_importFailReturn = 0;
void importThunkCommon();
void importReturnCommon();
int importDispatchC(DWORD* frame);
void importReturnC(DWORD* frame);
}

// frame[0] holds the import's index as the thunk pushed it, frame[1] the
// caller's return address, the arguments follow. To pass the call on,
// frame[0] becomes the original function, which the common thunk then
// returns into, so that it runs as if the module had called it directly;
// on the recorded thread frame[1] becomes the return thunk, which hands the
// result to returnFromImport on its way back to the caller. When the module
// is the program that records it, the recorder's own calls (and its
// observers') pass through its thunks too: those go straight on.
int dispatchImport(DWORD* frame) {
    ImportRecorder& recorder = *g_recorder;
    const std::size_t index = frame[0];
    frame[0] = reinterpret_cast<DWORD>(recorder.originals_[index]);
    if (currentThread() != recorder.thread_ || recorder.busy_) {
        return 0;
    }
    recorder.busy_ = true;
    const DWORD lastError = GetLastError();
    ImportRecorder::Pending pending;
    RecordedCall& call = pending.call;
    call.position = recorder.calls_.size();
    call.import = index;
    std::memcpy(call.arguments, frame + 2, sizeof call.arguments);
    recorder.calls_.push_back(index);
    const std::string& function = recorder.imports_[index].function;
    if (recorder.observer_) {
        recorder.observer_(call.position, function, frame + 2);
    }
    const ImportFailure* failure = nullptr;
    if (call.position == recorder.failAt_ && recorder.failureOf_ != nullptr) {
        failure = recorder.failureOf_(function);
    }
    if (failure != nullptr) {
        recorder.injected_ = true;
        call.failed = true;
        if (isClose(function)) {
            pending.closeFailure = failure;
        } else {
            call.result = failure->returnValue;
            call.lastError = failure->lastError != 0 ? failure->lastError : lastError;
            if (recorder.returnObserver_) {
                recorder.returnObserver_(call);
            }
            g_importFailPop = failure->argumentBytes;
            g_importFailReturn = failure->returnValue;
            SetLastError(call.lastError);
            recorder.busy_ = false;
            return 1;
        }
    }
    pending.returnAddress = frame[1];
    frame[1] = reinterpret_cast<DWORD>(&importReturnCommon);
    recorder.pending_.push_back(pending);
    SetLastError(lastError);
    recorder.busy_ = false;
    return 0;
}

// frame[0] is the slot for the caller's return address; below it the
// registers as the function left them, eax at frame[-1].
void returnFromImport(DWORD* frame) {
    ImportRecorder& recorder = *g_recorder;
    recorder.busy_ = true;
    DWORD lastError = GetLastError();
    ImportRecorder::Pending pending = recorder.pending_.back();
    recorder.pending_.pop_back();
    frame[0] = pending.returnAddress;
    RecordedCall& call = pending.call;
    call.result = frame[-1];
    call.lastError = lastError;
    recorder.account(call);
    if (pending.closeFailure != nullptr) {
        call.result = pending.closeFailure->returnValue;
        if (pending.closeFailure->lastError != 0) {
            call.lastError = pending.closeFailure->lastError;
        }
    }
    // A function that the module looks up by name is handed out as a thunk
    // of its own, so that its calls are recorded like the others.
    if (recorder.lookUps_ == LookUps::Recorded && recorder.imports_[call.import].function == "GetProcAddress" &&
        call.result != 0 && HIWORD(call.arguments[1]) != 0) {
        if (void* thunk = recorder.lookedUpThunk(reinterpret_cast<const char*>(call.arguments[1]),
                                                 reinterpret_cast<void*>(call.result))) {
            call.result = reinterpret_cast<DWORD>(thunk);
        }
    }
    if (recorder.returnObserver_) {
        recorder.returnObserver_(call);
    }
    frame[-1] = call.result;
    SetLastError(call.lastError);
    recorder.busy_ = false;
}

extern "C" int importDispatchC(DWORD* frame) { return dispatchImport(frame); }
extern "C" void importReturnC(DWORD* frame) { returnFromImport(frame); }

// Every thunk pushes its index and jumps here. On the failing path the
// arguments are dropped as the real function would (stdcall), the failure's
// value returned in eax; ecx is free to use, as in any call. A call passed
// on returns through the return thunk, which keeps every register the
// function left but eax, which it may replace.
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
    "    jmp *%ecx\n"
    ".globl _importReturnCommon\n"
    "_importReturnCommon:\n"
    "    pushl $0\n"
    "    pushal\n"
    "    leal 32(%esp), %eax\n"
    "    pushl %eax\n"
    "    call _importReturnC\n"
    "    addl $4, %esp\n"
    "    popal\n"
    "    ret\n");

void ImportRecorder::account(const RecordedCall& call) {
    const std::string& function = imports_[call.import].function;
    const DWORD* a = call.arguments;
    auto closed = [this](auto& open, auto handle) {
        if (open.erase(handle) == 0) {
            ++strayCloses_;
        }
    };
    if (function == "RegOpenKeyExW" || function == "RegOpenKeyW" || function == "RegCreateKeyExW") {
        const DWORD out = function == "RegOpenKeyExW" ? a[4] : function == "RegOpenKeyW" ? a[2] : a[7];
        if (call.result == ERROR_SUCCESS && out != 0) {
            openKeys_.insert(outHandle<HKEY>(out));
        }
    } else if (function == "RegCloseKey") {
        closed(openKeys_, reinterpret_cast<HKEY>(a[0]));
    } else if (function == "FindFirstFileW") {
        if (call.result != reinterpret_cast<DWORD>(INVALID_HANDLE_VALUE)) {
            openFinds_.insert(reinterpret_cast<HANDLE>(call.result));
        }
    } else if (function == "FindClose") {
        closed(openFinds_, reinterpret_cast<HANDLE>(a[0]));
    } else if (function == "OpenProcessToken") {
        if (call.result != FALSE && a[2] != 0) {
            openTokens_.insert(outHandle<HANDLE>(a[2]));
        }
    } else if (function == "CloseHandle") {
        closed(openTokens_, reinterpret_cast<HANDLE>(a[0]));
    }
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
    writeThunk(imports_.size() - 1);
    return thunks_ + (imports_.size() - 1) * kThunkSize;
}

ImportRecorder::ImportRecorder(HMODULE module, LookUps lookUps)
    : imports_(listImports(module)), patched_(imports_.size()), thread_(currentThread()), lookUps_(lookUps) {
    g_recorder = this;
    thunks_ = static_cast<BYTE*>(VirtualAlloc(nullptr, (patched_ + kLookedUpThunks) * kThunkSize + 16,
                                              MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
    imports_.reserve(patched_ + kLookedUpThunks);
    originals_.reserve(patched_ + kLookedUpThunks);
    calls_.reserve(1 << 16);
    pending_.reserve(16);
    for (std::size_t i = 0; i < patched_; ++i) {
        writeThunk(i);
        void** slot = imports_[i].slot;
        originals_.push_back(*slot);
        if (!isCode(*slot)) {
            continue;
        }
        DWORD protection = 0;
        VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &protection);
        *slot = thunks_ + i * kThunkSize;
        VirtualProtect(slot, sizeof(void*), protection, &protection);
    }
    busy_ = false;
}

ImportRecorder::~ImportRecorder() {
    busy_ = true;
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
    failureOf_ = nullptr;
    injected_ = false;
    openKeys_.clear();
    openFinds_.clear();
    openTokens_.clear();
    strayCloses_ = 0;
}

void ImportRecorder::closeLeftovers() {
    // The host's own imports: the module may not import them all.
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

void ImportRecorder::failCall(std::size_t position, FailureOf failureOf) {
    failAt_ = position;
    failureOf_ = failureOf;
    injected_ = false;
}

}  // namespace trace
