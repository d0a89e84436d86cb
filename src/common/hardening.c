/*
 * What the compiler's hardening expects of the runtime, for code built
 * without one: the stack protector's guard and its failure routine, and the
 * pointer through which Control Flow Guard checks an indirect call.
 */
#include <windows.h>

/*
 * The guard that every protected frame copies and checks. It starts at the
 * value the Windows loader recognises as "not yet set" and replaces with a
 * random one for an image whose load configuration names it.
 */
DWORD __stack_chk_guard = 0xBB40E64Eu;

/*
 * A frame's copy of the guard was overwritten: end the process at once,
 * without unwinding through the corrupted stack, and without raising an
 * exception that a handler up the stack could catch.
 *
 * Windows 8 and later end the process on a fast-fail request
 * (__fastfail(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE)) in the kernel, with no
 * handler run. Windows 7 does not know the request and raises an ordinary
 * access violation instead, which an installer's catch-all handler could
 * swallow and then go on with the smashed stack: there the process is
 * terminated with the status the fast-fail request reports.
 */
__declspec(noreturn) void __stack_chk_fail(void) {
    if (IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE)) {
        __asm__ volatile("int $0x29" : : "c"(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE) : "memory");
    }
    TerminateProcess(GetCurrentProcess(), (UINT)STATUS_STACK_BUFFER_OVERRUN);
    for (;;) {
    }
}

/* Where Control Flow Guard is off (older Windows, Wine) every target
 * passes; where it is on, the loader points this at its own check. */
static void __fastcall acceptCallTarget(ULONG_PTR target) { (void)target; }

__attribute__((section(".00cfg"))) void* const __guard_check_icall_fptr = (void*)acceptCallTarget;
