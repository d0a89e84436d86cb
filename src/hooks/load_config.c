/*
 * The image's load configuration, which the linker finds by its name and
 * points the image at. It names the stack protector's guard, so that the
 * loader randomises it, and carries the Control Flow Guard tables that the
 * linker builds (the __guard_* symbols are the linker's own). A C runtime
 * would bring one; the DLL links none, and the mingw-w64 runtime that
 * hookhost.exe links has none, so both link this one.
 *
 * The layout is the 32-bit IMAGE_LOAD_CONFIG_DIRECTORY32 of the PE format,
 * up to the long-jump target table. The mingw-w64 header's structure ends at
 * the SafeSEH fields, so the whole layout is written out here and every
 * field's offset is checked against the documented one below: the 32-bit
 * order differs from the 64-bit one (ProcessHeapFlags comes before
 * ProcessAffinityMask), and a field out of place would be read by the loader
 * as another.
 */
#include <stddef.h>
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
    DWORD ProcessHeapFlags;
    DWORD ProcessAffinityMask;
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

#define AT_OFFSET(field, offset) _Static_assert(offsetof(LoadConfigDirectory32, field) == (offset), #field)
AT_OFFSET(Size, 0);
AT_OFFSET(TimeDateStamp, 4);
AT_OFFSET(MajorVersion, 8);
AT_OFFSET(MinorVersion, 10);
AT_OFFSET(GlobalFlagsClear, 12);
AT_OFFSET(GlobalFlagsSet, 16);
AT_OFFSET(CriticalSectionDefaultTimeout, 20);
AT_OFFSET(DeCommitFreeBlockThreshold, 24);
AT_OFFSET(DeCommitTotalFreeThreshold, 28);
AT_OFFSET(LockPrefixTable, 32);
AT_OFFSET(MaximumAllocationSize, 36);
AT_OFFSET(VirtualMemoryThreshold, 40);
AT_OFFSET(ProcessHeapFlags, 44);
AT_OFFSET(ProcessAffinityMask, 48);
AT_OFFSET(CSDVersion, 52);
AT_OFFSET(DependentLoadFlags, 54);
AT_OFFSET(EditList, 56);
AT_OFFSET(SecurityCookie, 60);
AT_OFFSET(SEHandlerTable, 64);
AT_OFFSET(SEHandlerCount, 68);
AT_OFFSET(GuardCFCheckFunctionPointer, 72);
AT_OFFSET(GuardCFDispatchFunctionPointer, 76);
AT_OFFSET(GuardCFFunctionTable, 80);
AT_OFFSET(GuardCFFunctionCount, 84);
AT_OFFSET(GuardFlags, 88);
AT_OFFSET(CodeIntegrityFlags, 92);
AT_OFFSET(CodeIntegrityCatalog, 94);
AT_OFFSET(CodeIntegrityCatalogOffset, 96);
AT_OFFSET(CodeIntegrityReserved, 100);
AT_OFFSET(GuardAddressTakenIatEntryTable, 104);
AT_OFFSET(GuardAddressTakenIatEntryCount, 108);
AT_OFFSET(GuardLongJumpTargetTable, 112);
AT_OFFSET(GuardLongJumpTargetCount, 116);
_Static_assert(sizeof(LoadConfigDirectory32) == 0x78, "the size of the Windows 10 layout up to the long-jump table");
/* The fields the platform's header has sit where it puts them. */
_Static_assert(offsetof(IMAGE_LOAD_CONFIG_DIRECTORY32, ProcessHeapFlags) == 44, "header: ProcessHeapFlags");
_Static_assert(offsetof(IMAGE_LOAD_CONFIG_DIRECTORY32, SEHandlerCount) == 68, "header: SEHandlerCount");

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
