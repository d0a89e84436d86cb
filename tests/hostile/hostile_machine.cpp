#include "hostile/hostile_machine.h"

#include <aclapi.h>
#include <sddl.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>

extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key);

namespace hostile {
namespace {

constexpr DWORD kKeyNameUnits = 256;
constexpr DWORD kValueNameUnits = 16384;
constexpr std::size_t kShortComponent = 32;
constexpr std::size_t kLongestShownPath = 512;

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

std::wstring hex32(DWORD value) {
    wchar_t text[16];
    std::swprintf(text, 16, L"%08lx", value);
    return text;
}

DWORD fnv1a(const BYTE* data, std::size_t size) {
    DWORD hash = 2166136261U;
    for (std::size_t i = 0; i < size; ++i) {
        hash = (hash ^ data[i]) * 16777619U;
    }
    return hash;
}

std::wstring shortName(const std::wstring& name) {
    if (name.size() <= kShortComponent) {
        return name;
    }
    return name.substr(0, 8) + L"...(" + std::to_wstring(name.size()) + L" units, " +
           hex32(fnv1a(reinterpret_cast<const BYTE*>(name.data()), name.size() * sizeof(wchar_t))) + L")";
}

bool sameText(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

bool skipped(const std::vector<std::wstring>& skip, const std::wstring& entry) {
    return std::any_of(skip.begin(), skip.end(), [&](const std::wstring& s) { return sameText(s, entry); });
}

std::wstring join(const std::wstring& parent, const std::wstring& child) {
    return parent.empty() ? child : parent + L"\\" + child;
}

std::vector<std::wstring> enumSubkeys(HKEY key) {
    std::vector<std::wstring> names;
    for (DWORD index = 0;; ++index) {
        wchar_t name[kKeyNameUnits];
        DWORD length = kKeyNameUnits;
        if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(name, length);
    }
    std::sort(names.begin(), names.end());
    return names;
}

struct DumpState {
    const std::vector<std::wstring>& skip;
    std::vector<std::wstring>& lines;
};

// `relative` is the real relative path while it is short enough to be named
// in `skip`; `shown` is what the lines print.
void dumpKey(HKEY key, const std::wstring& relative, const std::wstring& shown, int depth, DumpState& state) {
    state.lines.push_back(L"[" + shown + L"]");
    std::vector<std::pair<std::wstring, std::wstring>> values;
    std::vector<wchar_t> name(kValueNameUnits);
    std::vector<BYTE> data;
    for (DWORD index = 0;; ++index) {
        DWORD length = kValueNameUnits;
        DWORD type = 0;
        DWORD size = 0;
        if (RegEnumValueW(key, index, name.data(), &length, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
            break;
        }
        const std::wstring valueName(name.data(), length);
        if (skipped(state.skip, relative + L" : " + valueName)) {
            continue;
        }
        data.assign(size, 0);
        DWORD read = size;
        if (RegQueryValueExW(key, valueName.c_str(), nullptr, &type, data.data(), &read) != ERROR_SUCCESS) {
            read = 0;
        }
        values.emplace_back(shortName(valueName), L"type " + std::to_wstring(type) + L", " + std::to_wstring(read) +
                                                      L" bytes, " + hex32(fnv1a(data.data(), read)));
    }
    std::sort(values.begin(), values.end());
    for (const auto& [valueName, description] : values) {
        state.lines.push_back(shown + L" : " + valueName + L" = " + description);
    }

    for (const std::wstring& child : enumSubkeys(key)) {
        const std::wstring childRelative =
            relative.size() <= kLongestShownPath ? join(relative, child) : std::wstring(L"?");
        if (skipped(state.skip, childRelative)) {
            continue;
        }
        std::wstring childShown = join(shown, shortName(child));
        if (childShown.size() > kLongestShownPath) {
            childShown = L"(depth " + std::to_wstring(depth + 1) + L")\\" + shortName(child);
        }
        Key opened;
        const LONG status = RegOpenKeyExW(key, child.c_str(), REG_OPTION_OPEN_LINK, KEY_READ, &opened.handle);
        if (status != ERROR_SUCCESS) {
            state.lines.push_back(L"[" + childShown + L"] unreadable (" + std::to_wstring(status) + L")");
            continue;
        }
        dumpKey(opened.handle, childRelative, childShown, depth + 1, state);
    }
}

std::wstring fileLine(const std::wstring& relative, const WIN32_FIND_DATAW& entry, const std::wstring& full,
                      bool withContent) {
    std::wstring line =
        relative + L" attributes " + hex32(entry.dwFileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
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
           hex32(fnv1a(content.data(), content.size()));
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
        const std::wstring shown = join(relative, shortName(found.cFileName));
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
    for (const std::wstring& child : enumSubkeys(key)) {
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

std::vector<std::wstring> dumpKeys(HKEY root, const std::wstring& path, REGSAM view,
                                   const std::vector<std::wstring>& skip) {
    std::vector<std::wstring> lines;
    Key key;
    if (RegOpenKeyExW(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ | view, &key.handle) != ERROR_SUCCESS) {
        return lines;
    }
    DumpState state{skip, lines};
    dumpKey(key.handle, L"", L"", 0, state);
    return lines;
}

std::vector<std::wstring> subkeyList(HKEY root, const std::wstring& path, REGSAM view,
                                     const std::vector<std::wstring>& skip) {
    Key key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key.handle) != ERROR_SUCCESS) {
        return {};
    }
    std::vector<std::wstring> names = enumSubkeys(key.handle);
    names.erase(std::remove_if(names.begin(), names.end(), [&](const std::wstring& n) { return skipped(skip, n); }),
                names.end());
    return names;
}

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
