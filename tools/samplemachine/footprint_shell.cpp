// What the removal hooks take out of the shell: the Send To file, the Recycle
// Bin context-menu handler key and the shell extension's class key, beside
// a neighbouring handler, class key and Send To entry that must stay.

#include "samplemachine/footprint_shell.h"

#include <shlobj.h>

#include "machine/machine.h"
#include "samplemachine/footprint.h"

namespace sample {
namespace shell {

std::wstring handlerKey() { return std::wstring(kHandlerList) + L"\\" + kHandlerName; }
std::wstring neighbourHandlerKey() { return std::wstring(kHandlerList) + L"\\" + kNeighbourHandlerName; }
std::wstring classKey() { return std::wstring(kClassRoot) + L"\\" + kClassName; }
std::wstring neighbourClassKey() { return std::wstring(kClassRoot) + L"\\" + kNeighbourClassName; }
std::wstring sendToFile() { return machine::shellFolder(CSIDL_SENDTO) + L"\\" + kSendToFileName; }
std::wstring neighbourSendToFile() { return machine::shellFolder(CSIDL_SENDTO) + L"\\" + kNeighbourSendToFileName; }

void seedSendToFile() { machine::writeFile(sendToFile(), "Korvan Eraser"); }

void seedHandlerKey() {
    const std::wstring key = handlerKey();
    machine::setString(HKEY_LOCAL_MACHINE, key, L"", L"Korvan Eraser context menu");
    machine::setDword(HKEY_LOCAL_MACHINE, key + L"\\Options", L"Flags", 3);
    machine::setString(HKEY_LOCAL_MACHINE, key + L"\\Options\\Verbs", L"", L"Shred");
    machine::setDword(HKEY_LOCAL_MACHINE, key + L"\\Options\\Verbs\\Shred", L"Passes", 7);
    machine::setString(HKEY_LOCAL_MACHINE, key + L"\\Options\\Verbs\\Wipe", L"MUIVerb", L"Wipe free space");
    machine::createKey(HKEY_LOCAL_MACHINE, key + L"\\Cache");
}

void seedClassKey() {
    const std::wstring key = classKey();
    machine::setString(HKEY_LOCAL_MACHINE, key, L"", L"Korvan Eraser Shell Extension");
    machine::setString(HKEY_LOCAL_MACHINE, key + L"\\InprocServer32", L"",
                       L"C:\\Program Files (x86)\\Korvan\\ZTB\\KorvanShell.dll");
    machine::setString(HKEY_LOCAL_MACHINE, key + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
    machine::createKey(HKEY_LOCAL_MACHINE,
                       key + L"\\Implemented Categories\\{00021490-0000-0000-C000-000000000046}\\Reserved");
    machine::setString(HKEY_LOCAL_MACHINE, key + L"\\DefaultIcon", L"",
                       L"C:\\Program Files (x86)\\Korvan\\ZTB\\KorvanShell.dll,0");
}

void seedNeighbours() {
    machine::writeFile(neighbourSendToFile(), "another Send To entry");
    machine::setString(HKEY_LOCAL_MACHINE, neighbourHandlerKey(), L"", L"Another vendor's handler");
    machine::setDword(HKEY_LOCAL_MACHINE, neighbourHandlerKey() + L"\\Settings", L"Enabled", 1);
    machine::setString(HKEY_LOCAL_MACHINE, neighbourClassKey(), L"", L"Another shell extension");
    machine::setString(HKEY_LOCAL_MACHINE, neighbourClassKey() + L"\\InprocServer32", L"",
                       L"C:\\Program Files (x86)\\Another\\ext.dll");
}

namespace {

// The seed creates the Recycle Bin's handler list where the machine has none;
// it goes again only when nothing else is left in it.
void deleteIfEmpty(const std::wstring& path) {
    if (machine::subkeyNames(HKEY_LOCAL_MACHINE, path).empty() &&
        machine::valueNames(HKEY_LOCAL_MACHINE, path).empty()) {
        machine::deleteTree(HKEY_LOCAL_MACHINE, path);
    }
}

}  // namespace
}  // namespace shell

void seedShell() {
    shell::seedSendToFile();
    shell::seedHandlerKey();
    shell::seedClassKey();
    shell::seedNeighbours();
}

void clearShell() {
    DeleteFileW(shell::sendToFile().c_str());
    DeleteFileW(shell::neighbourSendToFile().c_str());
    machine::deleteTree(HKEY_LOCAL_MACHINE, shell::handlerKey());
    machine::deleteTree(HKEY_LOCAL_MACHINE, shell::neighbourHandlerKey());
    machine::deleteTree(HKEY_LOCAL_MACHINE, shell::classKey());
    machine::deleteTree(HKEY_LOCAL_MACHINE, shell::neighbourClassKey());
    if (machine::keyExists(HKEY_LOCAL_MACHINE, shell::kHandlerList)) {
        shell::deleteIfEmpty(shell::kHandlerList);
    }
    if (machine::keyExists(HKEY_LOCAL_MACHINE, shell::kShellex)) {
        shell::deleteIfEmpty(shell::kShellex);
    }
}

void addShellItems(Footprint& items) {
    const wchar_t section[] = L"Shell integration";
    items.push_back({section, std::wstring(L"Send To\\") + shell::kNeighbourSendToFileName + L" (neighbour)",
                     [] { return footprint::fileState(shell::neighbourSendToFile()); }});
    items.push_back({section, L"HKLM ...\\ContextMenuHandlers\\{A7C2D915-...3A63} (neighbour)",
                     [] { return footprint::keyState(HKEY_LOCAL_MACHINE, shell::neighbourHandlerKey()); }});
    items.push_back({section, L"HKLM ...\\CLSID\\{5e3b9a17-...c846} (neighbour)",
                     [] { return footprint::keyState(HKEY_LOCAL_MACHINE, shell::neighbourClassKey()); }});
    items.push_back({section, L"HKLM ...\\CLSID\\{645FF040-...} (Recycle Bin) : (default)",
                     [] { return footprint::valueState(HKEY_LOCAL_MACHINE, shell::kRecycleBinClass, L""); }});
}

}  // namespace sample
