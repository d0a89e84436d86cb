#include "support/heap_failure.h"

namespace testing_support {
namespace {

using HeapAllocFn = LPVOID(WINAPI*)(HANDLE, DWORD, SIZE_T);

HeapAllocFn g_heapAlloc = nullptr;
int g_allocations = 0;
int g_failAt = 0;
bool g_failed = false;

LPVOID WINAPI countedHeapAlloc(HANDLE heap, DWORD flags, SIZE_T size) {
    if (++g_allocations == g_failAt) {
        g_failed = true;
        return nullptr;
    }
    return g_heapAlloc(heap, flags, size);
}

// Set before the patch is made, so that no allocation can reach the wrapper
// without a target.
HMODULE arm(HMODULE module, int nth) {
    g_heapAlloc = reinterpret_cast<HeapAllocFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "HeapAlloc")));
    g_allocations = 0;
    g_failAt = nth;
    g_failed = false;
    return module;
}

}  // namespace

HeapAllocFailure::HeapAllocFailure(HMODULE module, int nth)
    : patch_(arm(module, nth), "kernel32.dll", "HeapAlloc", reinterpret_cast<const void*>(&countedHeapAlloc)) {}

HeapAllocFailure::~HeapAllocFailure() { g_failAt = 0; }

void HeapAllocFailure::failNext() { g_failAt = g_allocations + 1; }

int HeapAllocFailure::allocations() const { return g_allocations; }

bool HeapAllocFailure::failed() const { return g_failed; }

}  // namespace testing_support
