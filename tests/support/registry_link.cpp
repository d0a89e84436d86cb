#include "support/registry_link.h"

#include <winternl.h>

#include "machine/machine.h"

extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key);

namespace testing_support {

std::wstring absoluteName(HKEY root, const std::wstring& path, REGSAM view) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
        return {};
    }
    std::wstring name = machine::kernelKeyName(key);
    RegCloseKey(key);
    return name;
}

namespace {

// The target without its terminator, as the kernel expects it.
bool setTarget(HKEY link, const std::wstring& target) {
    return RegSetValueExW(link, L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(target.c_str()),
                          static_cast<DWORD>(target.size() * sizeof(wchar_t))) == ERROR_SUCCESS;
}

}  // namespace

bool createLink(HKEY root, const std::wstring& path, const std::wstring& target) {
    HKEY link = nullptr;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS, nullptr, &link,
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const bool made = target.empty() || setTarget(link, target);
    RegCloseKey(link);
    return made;
}

bool setLinkTarget(HKEY root, const std::wstring& path, const std::wstring& target) {
    HKEY link = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_SET_VALUE, &link) != ERROR_SUCCESS) {
        return false;
    }
    const bool set = setTarget(link, target);
    RegCloseKey(link);
    return set;
}

bool linkExists(HKEY root, const std::wstring& path) {
    HKEY link = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ, &link) != ERROR_SUCCESS) {
        return false;
    }
    DWORD type = REG_NONE;
    const bool isLink =
        RegQueryValueExW(link, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr) == 0 && type == REG_LINK;
    RegCloseKey(link);
    return isLink;
}

void removeLink(HKEY root, const std::wstring& path) {
    HKEY link = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), REG_OPTION_OPEN_LINK, DELETE, &link) == ERROR_SUCCESS) {
        NtDeleteKey(link);
        RegCloseKey(link);
    }
}

}  // namespace testing_support
