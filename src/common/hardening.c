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

/* A frame's copy of the guard was overwritten: end the process at once,
 * without unwinding through the corrupted stack. */
__declspec(noreturn) void __stack_chk_fail(void) {
    /* __fastfail(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE) */
    __asm__ volatile("int $0x29" : : "c"(2) : "memory");
    TerminateProcess(GetCurrentProcess(), (UINT)STATUS_STACK_BUFFER_OVERRUN);
    for (;;) {
    }
}

/* Where Control Flow Guard is off (older Windows, Wine) every target
 * passes; where it is on, the loader points this at its own check. */
static void __fastcall acceptCallTarget(ULONG_PTR target) { (void)target; }

__attribute__((section(".00cfg"))) void* const __guard_check_icall_fptr = (void*)acceptCallTarget;
