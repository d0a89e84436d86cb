/*
 * The hardening routines of src/common/hardening.c with a failure routine
 * that makes the fast-fail request unasked, as it did before it tested the
 * feature: linked into a variant of the DLL that the binary check must
 * refuse (rule "fast-fail"). The guard and the check pointer are as in the
 * product, so that only the failure routine differs.
 */
#include <windows.h>

DWORD __stack_chk_guard = 0xBB40E64Eu;

__declspec(noreturn) void __stack_chk_fail(void) {
    __asm__ volatile("int $0x29" : : "c"(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE) : "memory");
    TerminateProcess(GetCurrentProcess(), (UINT)STATUS_STACK_BUFFER_OVERRUN);
    for (;;) {
    }
}

static void __fastcall acceptCallTarget(ULONG_PTR target) { (void)target; }

__attribute__((section(".00cfg"))) void* const __guard_check_icall_fptr = (void*)acceptCallTarget;
