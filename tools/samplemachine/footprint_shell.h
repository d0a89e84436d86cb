#pragma once

// Where the product's shell integration lives on the sample machine, and the
// neighbours beside it that its removal must leave alone.

#include <windows.h>

#include <string>

namespace sample::shell {

// Below HKEY_LOCAL_MACHINE, in the default (32-bit) view, the one the library
// works in: SOFTWARE\Classes\CLSID has a key of its own in each view.
constexpr wchar_t kRecycleBinClass[] = L"SOFTWARE\\Classes\\CLSID\\{645FF040-5081-101B-9F08-00AA002F954E}";
constexpr wchar_t kShellex[] = L"SOFTWARE\\Classes\\CLSID\\{645FF040-5081-101B-9F08-00AA002F954E}\\shellex";
constexpr wchar_t kHandlerList[] =
    L"SOFTWARE\\Classes\\CLSID\\{645FF040-5081-101B-9F08-00AA002F954E}\\shellex\\ContextMenuHandlers";
constexpr wchar_t kClassRoot[] = L"SOFTWARE\\Classes\\CLSID";

constexpr wchar_t kHandlerName[] = L"{A7C2D915-3B6E-4d2a-9F47-1E8B0C5D3A62}";
constexpr wchar_t kNeighbourHandlerName[] = L"{A7C2D915-3B6E-4d2a-9F47-1E8B0C5D3A63}";
constexpr wchar_t kClassName[] = L"{5e3b9a17-c2d4-4f81-b6a0-93d7e1f2c845}";
constexpr wchar_t kNeighbourClassName[] = L"{5e3b9a17-c2d4-4f81-b6a0-93d7e1f2c846}";

constexpr wchar_t kSendToFileName[] = L"Korvan Eraser.KorvanEraser";
constexpr wchar_t kNeighbourSendToFileName[] = L"Korvan Eraser.lnk";

std::wstring handlerKey();           // kHandlerList\kHandlerName
std::wstring neighbourHandlerKey();  // kHandlerList\kNeighbourHandlerName
std::wstring classKey();             // kClassRoot\kClassName
std::wstring neighbourClassKey();    // kClassRoot\kNeighbourClassName
std::wstring sendToFile();           // in the calling account's Send To folder
std::wstring neighbourSendToFile();

// Seeds each item alone, several levels deep with values; the handler list
// key is created where it is missing.
void seedSendToFile();
void seedHandlerKey();
void seedClassKey();
void seedNeighbours();

}  // namespace sample::shell
