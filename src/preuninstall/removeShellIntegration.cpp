// The product's shell integration: its Send To entry, its context-menu
// handler for the Recycle Bin and its shell extension's class key.

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include "common/compose.h"
#include "preuninstall/preuninstall.h"
#include "registry/RegistryKey.h"

namespace installhooks {
namespace {

constexpr DWORD kBufferLength = MAX_PATH;
constexpr wchar_t kSendToFile[] = L"Korvan Eraser.KorvanEraser";
constexpr GUID kRecycleBin = {0x645FF040, 0x5081, 0x101B, {0x9F, 0x08, 0x00, 0xAA, 0x00, 0x2F, 0x95, 0x4E}};
constexpr wchar_t kHandlerListFormat[] = L"SOFTWARE\\Classes\\CLSID\\%s\\shellex\\ContextMenuHandlers";
constexpr wchar_t kClassRoot[] = L"SOFTWARE\\Classes\\CLSID";
constexpr wchar_t kHandlerKey[] = L"{A7C2D915-3B6E-4d2a-9F47-1E8B0C5D3A62}";
constexpr wchar_t kClassKey[] = L"{5e3b9a17-c2d4-4f81-b6a0-93d7e1f2c845}";

}  // namespace

bool removeShellIntegration() {
    wchar_t buffer[kBufferLength] = {};
    RegistryKey key;

    // The three removals are independent: an account without a Send To
    // folder, or a Recycle Bin without a handler list, must still lose the
    // class key, or a COM registration would point at a removed DLL.
    if (SHGetFolderPathW(nullptr, CSIDL_SENDTO, nullptr, SHGFP_TYPE_CURRENT, buffer) == S_OK) {
        const HeapString sendToFile = composePath(L"%s\\%s", {buffer, kSendToFile});
        if (sendToFile.empty()) {
            return false;
        }
        // Missing, in use or denied: the entry is left, the step goes on.
        DeleteFileW(sendToFile.get());
    }

    bool handlerListOpened = false;
    buffer[0] = L'\0';
    if (StringFromGUID2(kRecycleBin, buffer, static_cast<int>(kBufferLength)) != 0) {
        const HeapString handlerList = composePath(kHandlerListFormat, {buffer});
        if (handlerList.empty()) {
            return false;
        }
        if (key.openKey(HKEY_LOCAL_MACHINE, handlerList.get(), KEY_WRITE) == ERROR_SUCCESS) {
            handlerListOpened = true;
            key.deleteKeyTree(kHandlerKey);
            key.closeKey();
        }
    }

    bool classRootOpened = false;
    if (key.openKey(HKEY_LOCAL_MACHINE, kClassRoot, KEY_WRITE) == ERROR_SUCCESS) {
        classRootOpened = true;
        key.deleteKeyTree(kClassKey);
        key.closeKey();
    }

    return handlerListOpened && classRootOpened;
}

}  // namespace installhooks
