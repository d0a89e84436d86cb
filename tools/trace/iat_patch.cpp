#include "trace/iat_patch.h"

#include <cstring>

namespace trace {
namespace {

void writeSlot(void** slot, void* value) {
    DWORD protection = 0;
    VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &protection);
    *slot = value;
    VirtualProtect(slot, sizeof(void*), protection, &protection);
}

}  // namespace

std::vector<ImportEntry> listImports(HMODULE module) {
    std::vector<ImportEntry> entries;
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) {
        return entries;
    }
    for (auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         descriptor->Name != 0; ++descriptor) {
        const char* dll = reinterpret_cast<const char*>(base + descriptor->Name);
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                continue;
            }
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            entries.push_back(
                {dll, reinterpret_cast<const char*>(byName->Name), reinterpret_cast<void**>(&slots->u1.Function)});
        }
    }
    return entries;
}

IatPatch::IatPatch(HMODULE module, const char* dll, const char* function, const void* replacement) {
    for (const ImportEntry& entry : listImports(module)) {
        if (lstrcmpiA(entry.dll.c_str(), dll) == 0 && entry.function == function) {
            slot_ = entry.slot;
            original_ = *slot_;
            writeSlot(slot_, const_cast<void*>(replacement));
            return;
        }
    }
}

IatPatch::~IatPatch() {
    if (slot_ != nullptr) {
        writeSlot(slot_, original_);
    }
}

}  // namespace trace
