/*
 * The DLL's load configuration, which the linker finds by its name and
 * points the image at. It names the stack protector's guard, so that the
 * loader randomises it, and carries the Control Flow Guard tables that the
 * linker builds (the __guard_* symbols are the linker's own). The C runtime
 * would bring one; this DLL links none.
 *
 * The layout is the 32-bit IMAGE_LOAD_CONFIG_DIRECTORY of the PE format,
 * up to the long-jump target table.
 */
#include <windows.h>

extern DWORD __stack_chk_guard;
extern void* const __guard_check_icall_fptr;
extern char __guard_fids_table[];
extern char __guard_fids_count;
extern char __guard_flags;
extern char __guard_iat_table[];
extern char __guard_iat_count;
extern char __guard_longjmp_table[];
extern char __guard_longjmp_count;

typedef struct {
    DWORD Size;
    DWORD TimeDateStamp;
    WORD MajorVersion;
    WORD MinorVersion;
    DWORD GlobalFlagsClear;
    DWORD GlobalFlagsSet;
    DWORD CriticalSectionDefaultTimeout;
    DWORD DeCommitFreeBlockThreshold;
    DWORD DeCommitTotalFreeThreshold;
    DWORD LockPrefixTable;
    DWORD MaximumAllocationSize;
    DWORD VirtualMemoryThreshold;
    DWORD ProcessAffinityMask;
    DWORD ProcessHeapFlags;
    WORD CSDVersion;
    WORD DependentLoadFlags;
    DWORD EditList;
    DWORD SecurityCookie;
    DWORD SEHandlerTable;
    DWORD SEHandlerCount;
    DWORD GuardCFCheckFunctionPointer;
    DWORD GuardCFDispatchFunctionPointer;
    DWORD GuardCFFunctionTable;
    DWORD GuardCFFunctionCount;
    DWORD GuardFlags;
    WORD CodeIntegrityFlags;
    WORD CodeIntegrityCatalog;
    DWORD CodeIntegrityCatalogOffset;
    DWORD CodeIntegrityReserved;
    DWORD GuardAddressTakenIatEntryTable;
    DWORD GuardAddressTakenIatEntryCount;
    DWORD GuardLongJumpTargetTable;
    DWORD GuardLongJumpTargetCount;
} LoadConfigDirectory32;

/* The counts and flags are absolute symbols: their addresses are the values. */
const LoadConfigDirectory32 _load_config_used = {
    .Size = sizeof(LoadConfigDirectory32),
    .SecurityCookie = (DWORD)&__stack_chk_guard,
    .GuardCFCheckFunctionPointer = (DWORD)&__guard_check_icall_fptr,
    .GuardCFFunctionTable = (DWORD)__guard_fids_table,
    .GuardCFFunctionCount = (DWORD)&__guard_fids_count,
    .GuardFlags = (DWORD)&__guard_flags,
    .GuardAddressTakenIatEntryTable = (DWORD)__guard_iat_table,
    .GuardAddressTakenIatEntryCount = (DWORD)&__guard_iat_count,
    .GuardLongJumpTargetTable = (DWORD)__guard_longjmp_table,
    .GuardLongJumpTargetCount = (DWORD)&__guard_longjmp_count,
};
