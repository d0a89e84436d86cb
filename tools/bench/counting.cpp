#include "counting.h"

#include <cstring>

#include "bench.h"
#include "registry/RegistryKey.h"

namespace bench {
namespace {

using RegDeleteKeyExWFn = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);
using GetProcAddressFn = FARPROC(WINAPI*)(HMODULE, LPCSTR);

RegDeleteKeyExWFn g_regDeleteKeyExW = nullptr;
GetProcAddressFn g_getProcAddress = nullptr;
volatile long g_viewAwareDeletions = 0;

LONG WINAPI countedRegDeleteKeyExW(HKEY key, LPCWSTR name, REGSAM view, DWORD reserved) {
    g_viewAwareDeletions = g_viewAwareDeletions + 1;
    return g_regDeleteKeyExW(key, name, view, reserved);
}

FARPROC WINAPI lookUpWithCountedDeletion(HMODULE module, LPCSTR name) {
    FARPROC found = g_getProcAddress(module, name);
    if (found != nullptr && HIWORD(reinterpret_cast<ULONG_PTR>(name)) != 0 &&
        std::strcmp(name, "RegDeleteKeyExW") == 0) {
        g_regDeleteKeyExW = reinterpret_cast<RegDeleteKeyExWFn>(reinterpret_cast<void*>(found));
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&countedRegDeleteKeyExW));
    }
    return found;
}

using MallocFn = void*(__cdecl*)(size_t);
using CallocFn = void*(__cdecl*)(size_t, size_t);
using ReallocFn = void*(__cdecl*)(void*, size_t);
using HeapAllocFn = LPVOID(WINAPI*)(HANDLE, DWORD, SIZE_T);

volatile long g_allocations = 0;
MallocFn g_malloc = nullptr;
CallocFn g_calloc = nullptr;
ReallocFn g_realloc = nullptr;
HeapAllocFn g_heapAlloc = nullptr;

void* __cdecl countedMalloc(size_t size) {
    g_allocations = g_allocations + 1;
    return g_malloc(size);
}
void* __cdecl countedCalloc(size_t count, size_t size) {
    g_allocations = g_allocations + 1;
    return g_calloc(count, size);
}
void* __cdecl countedRealloc(void* block, size_t size) {
    g_allocations = g_allocations + 1;
    return g_realloc(block, size);
}
LPVOID WINAPI countedHeapAlloc(HANDLE heap, DWORD flags, SIZE_T size) {
    g_allocations = g_allocations + 1;
    return g_heapAlloc(heap, flags, size);
}

using RegLoadKeyWFn = LONG(WINAPI*)(HKEY, LPCWSTR, LPCWSTR);
using RegUnLoadKeyWFn = LONG(WINAPI*)(HKEY, LPCWSTR);
RegLoadKeyWFn g_regLoadKeyW = nullptr;
RegUnLoadKeyWFn g_regUnLoadKeyW = nullptr;
double g_loadSeconds = 0;
double g_unloadSeconds = 0;
long g_loads = 0;
long g_unloads = 0;

LONG WINAPI timedRegLoadKeyW(HKEY key, LPCWSTR name, LPCWSTR file) {
    const double start = now();
    const LONG status = g_regLoadKeyW(key, name, file);
    g_loadSeconds += now() - start;
    ++g_loads;
    return status;
}

LONG WINAPI timedRegUnLoadKeyW(HKEY key, LPCWSTR name) {
    const double start = now();
    const LONG status = g_regUnLoadKeyW(key, name);
    g_unloadSeconds += now() - start;
    ++g_unloads;
    return status;
}

template <typename Fn>
std::unique_ptr<testing_support::IatPatch> patch(const char* dll, const char* function, Fn replacement, Fn& original) {
    auto made = std::make_unique<testing_support::IatPatch>(testing_support::testProgram(), dll, function,
                                                            reinterpret_cast<const void*>(replacement));
    if (made->applied()) {
        original = made->originalAs<Fn>();
    }
    return made;
}

}  // namespace

void countViewAwareDeletions() {
    testing_support::IatPatch lookup(testing_support::testProgram(), "kernel32.dll", "GetProcAddress",
                                     reinterpret_cast<const void*>(&lookUpWithCountedDeletion));
    g_getProcAddress = lookup.originalAs<GetProcAddressFn>();
    // The product looks the function up at its first deletion; make one.
    HKEY scratch = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\InstallHooksBench\\LookUp", 0, nullptr, REG_OPTION_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &scratch, nullptr) == ERROR_SUCCESS) {
        RegCloseKey(scratch);
    }
    installhooks::RegistryKey parent;
    if (parent.openKey(HKEY_CURRENT_USER, L"Software\\InstallHooksBench", KEY_READ | KEY_WRITE) == ERROR_SUCCESS) {
        parent.deleteChildKey(L"LookUp");
    }
}

long viewAwareDeletions() { return g_viewAwareDeletions; }

AllocationCounter::AllocationCounter() {
    malloc_ = patch("msvcrt.dll", "malloc", &countedMalloc, g_malloc);
    calloc_ = patch("msvcrt.dll", "calloc", &countedCalloc, g_calloc);
    realloc_ = patch("msvcrt.dll", "realloc", &countedRealloc, g_realloc);
    heapAlloc_ = patch("kernel32.dll", "HeapAlloc", &countedHeapAlloc, g_heapAlloc);
    g_allocations = 0;
}

AllocationCounter::~AllocationCounter() = default;

void AllocationCounter::reset() { g_allocations = 0; }
long AllocationCounter::count() const { return g_allocations; }

HiveMountTimer::HiveMountTimer() {
    load_ = patch("advapi32.dll", "RegLoadKeyW", &timedRegLoadKeyW, g_regLoadKeyW);
    unload_ = patch("advapi32.dll", "RegUnLoadKeyW", &timedRegUnLoadKeyW, g_regUnLoadKeyW);
    reset();
}

HiveMountTimer::~HiveMountTimer() = default;

bool HiveMountTimer::applied() const { return load_->applied() && unload_->applied(); }
void HiveMountTimer::reset() {
    g_loadSeconds = 0;
    g_unloadSeconds = 0;
    g_loads = 0;
    g_unloads = 0;
}
double HiveMountTimer::loadSeconds() const { return g_loadSeconds; }
double HiveMountTimer::unloadSeconds() const { return g_unloadSeconds; }
long HiveMountTimer::loads() const { return g_loads; }
long HiveMountTimer::unloads() const { return g_unloads; }

// The recording thunks of the test support call back into C++ (and so
// through this very import table); here every import gets a thunk that only
// bumps its counter and jumps on: "inc dword [counter]; jmp [original]".
std::map<std::string, long> recordImportCalls(void (*work)(void*), void* context) {
    const std::vector<testing_support::ImportEntry> imports =
        testing_support::listImports(testing_support::testProgram());
    const std::size_t count = imports.size();
    std::vector<DWORD> counters(count, 0);
    std::vector<DWORD> atStart(count, 0);
    std::vector<DWORD> atEnd(count, 0);
    std::vector<void*> originals(count, nullptr);
    constexpr std::size_t kThunkSize = 12;
    auto* thunks = static_cast<BYTE*>(
        VirtualAlloc(nullptr, count * kThunkSize + 16, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
    std::map<std::string, long> counts;
    if (thunks == nullptr) {
        return counts;
    }
    for (std::size_t i = 0; i < count; ++i) {
        originals[i] = *imports[i].slot;
        BYTE* thunk = thunks + i * kThunkSize;
        const auto counter = reinterpret_cast<DWORD>(&counters[i]);
        const auto original = reinterpret_cast<DWORD>(&originals[i]);
        thunk[0] = 0xFF;  // inc dword [counter]
        thunk[1] = 0x05;
        std::memcpy(thunk + 2, &counter, 4);
        thunk[6] = 0xFF;  // jmp dword [original]
        thunk[7] = 0x25;
        std::memcpy(thunk + 8, &original, 4);
    }
    FlushInstructionCache(GetCurrentProcess(), thunks, count * kThunkSize);
    auto writeSlot = [](void** slot, void* value) {
        DWORD protection = 0;
        VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &protection);
        *slot = value;
        VirtualProtect(slot, sizeof(void*), protection, &protection);
    };
    const long deletionsBefore = g_viewAwareDeletions;
    for (std::size_t i = 0; i < count; ++i) {
        writeSlot(imports[i].slot, thunks + i * kThunkSize);
    }
    // Patching and unpatching call VirtualProtect through the thunks too:
    // count only what happens in between (copied by hand: a memcpy would go
    // through the thunks and count itself).
    const volatile DWORD* live = counters.data();
    for (std::size_t i = 0; i < count; ++i) {
        atStart[i] = live[i];
    }
    work(context);
    for (std::size_t i = 0; i < count; ++i) {
        atEnd[i] = live[i];
    }
    for (std::size_t i = 0; i < count; ++i) {
        writeSlot(imports[i].slot, originals[i]);
    }
    const long deletions = g_viewAwareDeletions - deletionsBefore;
    VirtualFree(thunks, 0, MEM_RELEASE);
    for (std::size_t i = 0; i < count; ++i) {
        if (atEnd[i] != atStart[i]) {
            counts[imports[i].function] += static_cast<long>(atEnd[i] - atStart[i]);
        }
    }
    if (deletions > 0) {
        counts["RegDeleteKeyExW"] += deletions;
    }
    return counts;
}

}  // namespace bench
