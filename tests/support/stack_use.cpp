#include "support/stack_use.h"

#include <windows.h>

#include <malloc.h>

#include <cstdint>

namespace testing_support {
namespace {

constexpr std::uint32_t kPaint = 0x5AC3E17Bu;
// Left unpainted: the work's first frames, which the painting loop would
// overwrite while it runs, and the pages at the bottom that the platform
// keeps for raising the overflow.
constexpr ULONG_PTR kUnpaintedTop = 1024;
constexpr ULONG_PTR kUnpaintedBottom = 16 * 1024;

using StackLimitsFn = void(WINAPI*)(PULONG_PTR, PULONG_PTR);

struct Run {
    std::size_t budget;
    const std::function<void()>* work;
    StackUse use;
};

// Its frame is where the budget starts. The paint goes downwards, one word
// after the other, as the stack itself grows, so that every guard page on
// the way is met in order.
__attribute__((noinline)) void paintAndRun(Run& run, ULONG_PTR bottom) {
    volatile char frameMarker = 0;
    const ULONG_PTR frame = reinterpret_cast<ULONG_PTR>(&frameMarker);
    const ULONG_PTR top = (frame - kUnpaintedTop) & ~ULONG_PTR{3};
    for (ULONG_PTR word = top - 4; word >= bottom; word -= 4) {
        *reinterpret_cast<volatile std::uint32_t*>(word) = kPaint;
    }

    (*run.work)();

    ULONG_PTR untouched = bottom;
    while (untouched < top && *reinterpret_cast<volatile std::uint32_t*>(untouched) == kPaint) {
        untouched += 4;
    }
    run.use.deepest = frame - untouched;
    run.use.ran = true;
}

DWORD WINAPI leaveBudgetAndRun(void* parameter) {
    Run& run = *static_cast<Run*>(parameter);
    const auto limits = reinterpret_cast<StackLimitsFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetCurrentThreadStackLimits")));
    if (limits == nullptr) {
        return 1;
    }
    ULONG_PTR low = 0;
    ULONG_PTR high = 0;
    limits(&low, &high);
    volatile char here = 0;
    const ULONG_PTR available = reinterpret_cast<ULONG_PTR>(&here) - low;
    if (available < run.budget + kUnpaintedBottom + kUnpaintedTop) {
        return 1;
    }
    // alloca probes each page it takes, so the guard pages above the budget
    // are met in order.
    static_cast<volatile char*>(alloca(available - run.budget))[0] = 0;
    paintAndRun(run, low + kUnpaintedBottom);
    return 0;
}

}  // namespace

StackUse runWithStackLeft(std::size_t budget, const std::function<void()>& work) {
    Run run{budget, &work, {}};
    HANDLE thread = CreateThread(nullptr, 0, &leaveBudgetAndRun, &run, 0, nullptr);
    if (thread == nullptr) {
        return {};
    }
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return run.use;
}

}  // namespace testing_support
