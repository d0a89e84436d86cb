#pragma once

// Calls an exported stdcall function the way an installer engine does:
// `argumentCount` pointer-sized zero arguments pushed on the stack, the callee
// expected to remove them. Reports how many bytes the callee really removed,
// and restores the stack pointer whatever it did, so a hook built with the
// wrong argument count is caught instead of corrupting the caller's frame.

struct StdcallResult {
    int returned;
    int bytesPopped;
};

inline StdcallResult callStdcall(void* function, unsigned argumentCount) {
    int returned = 0;
    unsigned count = argumentCount;
    void* target = function;
    __asm__ volatile(
        "movl %%esp, %%edi\n\t"
        "jecxz 2f\n"
        "1:\n\t"
        "pushl $0\n\t"
        "loop 1b\n"
        "2:\n\t"
        "call *%%edx\n\t"
        "movl %%esp, %%ecx\n\t"
        "subl %%edi, %%ecx\n\t"
        "movl %%edi, %%esp\n\t"
        : "=a"(returned), "+c"(count), "+d"(target)
        :
        : "edi", "memory", "cc");
    const int stackDelta = static_cast<int>(count);
    return StdcallResult{returned, stackDelta + static_cast<int>(4 * argumentCount)};
}
