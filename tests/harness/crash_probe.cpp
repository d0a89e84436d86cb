// Test programs that end badly on purpose, one way per test: the harness
// test runs each through the runner that ctest uses for every test program
// and requires it to be judged failed, with the reason. Built for that test
// only; never shipped.
#include <gtest/gtest.h>
#include <windows.h>

extern "C" __declspec(noreturn) void __stack_chk_fail(void);

namespace {

int* volatile nowhere = nullptr;

DWORD WINAPI writeThroughNull(LPVOID) {
    *nowhere = 1;
    return 0;
}

DWORD WINAPI failStackCheck(LPVOID) { __stack_chk_fail(); }

// Runs WORK on a thread of its own, with STACK bytes of stack reserved.
void runOnThread(LPTHREAD_START_ROUTINE work, SIZE_T stack) {
    HANDLE thread = CreateThread(nullptr, stack, work, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    ASSERT_NE(nullptr, thread);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

// Each level keeps a page of its own alive, so no compiler folds it away.
int recurse(int depth) {
    if (depth < 0) {
        return 0;
    }
    volatile char page[4096];
    page[0] = static_cast<char>(depth);
    return recurse(depth + 1) + page[0];
}

}  // namespace

TEST(Ends, Normally) { EXPECT_EQ(4, 2 + 2); }

TEST(Ends, WithAnAccessViolationInTheMainThread) { *nowhere = 1; }

TEST(Ends, WithAnAccessViolationInAWorkerThread) { runOnThread(writeThroughNull, 0); }

TEST(Ends, InTheStackProtectorsFailureRoutineOnASmallStack) { runOnThread(failStackCheck, 64 * 1024); }

TEST(Ends, WithAStackOverflow) { EXPECT_NE(0, recurse(0)); }

// Neither a crash nor a failure: the process is simply gone, with status 0,
// before GoogleTest could report.
TEST(Ends, EarlyWithStatusZero) { ExitProcess(0); }
