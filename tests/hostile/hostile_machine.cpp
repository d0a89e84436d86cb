#include "hostile/hostile_machine.h"

#include "machine/machine.h"

#include <aclapi.h>
#include <sddl.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>

extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key);

namespace hostile {
namespace {

struct Key {
    HKEY handle = nullptr;
    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() {
        if (handle != nullptr) {
            RegCloseKey(handle);
        }
    }
};

std::wstring attributes(DWORD value) {
    wchar_t text[16];
    std::swprintf(text, 16, L"%08lx", value);
    return text;
}

bool sameText(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

bool skipped(const std::vector<std::wstring>& skip, const std::wstring& entry) {
    return std::any_of(skip.begin(), skip.end(), [&](const std::wstring& s) { return sameText(s, entry); });
}

std::wstring join(const std::wstring& parent, const std::wstring& child) {
    return parent.empty() ? child : parent + L"\\" + child;
}

std::wstring fileLine(const std::wstring& relative, const WIN32_FIND_DATAW& entry, const std::wstring& full,
                      bool withContent) {
    std::wstring line =
        relative + L" attributes " + attributes(entry.dwFileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !withContent) {
        return line;
    }
    std::vector<BYTE> content;
    HANDLE file = CreateFileW(full.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return line + L" unreadable";
    }
    BYTE buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) != FALSE && read != 0) {
        content.insert(content.end(), buffer, buffer + read);
    }
    CloseHandle(file);
    return line + L" size " + std::to_wstring(content.size()) + L" hash " +
           machine::hashOf(content.data(), content.size());
}

void listInto(const std::wstring& folder, const std::wstring& relative, const std::vector<std::wstring>& skipContent,
              bool recursive, std::vector<std::wstring>& lines) {
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    std::vector<WIN32_FIND_DATAW> entries;
    do {
        if (std::wcscmp(entry.cFileName, L".") != 0 && std::wcscmp(entry.cFileName, L"..") != 0) {
            entries.push_back(entry);
        }
    } while (FindNextFileW(search, &entry) != FALSE);
    FindClose(search);
    std::sort(entries.begin(), entries.end(), [](const WIN32_FIND_DATAW& a, const WIN32_FIND_DATAW& b) {
        return std::wcscmp(a.cFileName, b.cFileName) < 0;
    });
    for (const WIN32_FIND_DATAW& found : entries) {
        const std::wstring full = folder + L"\\" + found.cFileName;
        const std::wstring shown = join(relative, machine::shortName(found.cFileName));
        lines.push_back(fileLine(shown, found, full, !skipped(skipContent, full)));
        if (recursive && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
            (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
            listInto(full, shown, skipContent, recursive, lines);
        }
    }
}

// Deletes the key that `key` holds, and everything below it, through handles
// opened as themselves. The key itself goes last, through its own handle, so
// that neither a link nor a name is ever resolved again. A link opened as
// itself shows no subkeys, so it is reached as a leaf.
bool removeOpenedTree(HKEY key) {
    for (const std::wstring& child : machine::subkeysOf(key)) {
        Key opened;
        if (RegOpenKeyExW(key, child.c_str(), REG_OPTION_OPEN_LINK, KEY_READ | DELETE, &opened.handle) !=
                ERROR_SUCCESS ||
            !removeOpenedTree(opened.handle)) {
            return false;
        }
    }
    return NtDeleteKey(key) >= 0;
}

bool setSecurity(HKEY root, const std::wstring& path, REGSAM view, const wchar_t* descriptor) {
    PSECURITY_DESCRIPTOR security = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(descriptor, SDDL_REVISION_1, &security, nullptr) ==
        FALSE) {
        return false;
    }
    Key key;
    bool ok = RegOpenKeyExW(root, path.c_str(), 0, WRITE_DAC | view, &key.handle) == ERROR_SUCCESS &&
              RegSetKeySecurity(key.handle, DACL_SECURITY_INFORMATION, security) == ERROR_SUCCESS;
    LocalFree(security);
    return ok;
}

}  // namespace

std::vector<std::wstring> listFolder(const std::wstring& folder, const std::vector<std::wstring>& skipContent,
                                     bool recursive) {
    std::vector<std::wstring> lines;
    listInto(folder, L"", skipContent, recursive, lines);
    return lines;
}

bool removeKeyTree(HKEY root, const std::wstring& path, REGSAM view) {
    {
        Key key;
        const LONG status =
            RegOpenKeyExW(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ | DELETE | view, &key.handle);
        if (status == ERROR_FILE_NOT_FOUND) {
            return true;
        }
        if (status != ERROR_SUCCESS || !removeOpenedTree(key.handle)) {
            return false;
        }
    }
    Key gone;
    return RegOpenKeyExW(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ | view, &gone.handle) ==
           ERROR_FILE_NOT_FOUND;
}

bool denyRead(HKEY root, const std::wstring& path, REGSAM view) {
    // Everyone: read denied, everything else allowed (the deny is listed
    // first, so it wins for the rights it names).
    return setSecurity(root, path, view, L"D:P(D;;KR;;;WD)(A;;KA;;;WD)");
}

bool allowAll(HKEY root, const std::wstring& path, REGSAM view) {
    return setSecurity(root, path, view, L"D:P(A;;KA;;;WD)");
}

}  // namespace hostile
