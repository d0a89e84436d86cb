#include "machine/machine.h"

#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <utility>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace machine {
namespace {

struct Key {
    HKEY handle = nullptr;
    ~Key() {
        if (handle != nullptr) {
            RegCloseKey(handle);
        }
    }
};

bool openKey(HKEY root, const std::wstring& path, REGSAM access, Key& key) {
    return RegOpenKeyExW(root, path.c_str(), 0, access, &key.handle) == ERROR_SUCCESS;
}

// The names of an open key's subkeys, in the order the registry gives them.
std::vector<std::wstring> enumerateSubkeys(HKEY key) {
    constexpr DWORD kKeyNameUnits = 256;
    std::vector<std::wstring> names;
    for (DWORD index = 0;; ++index) {
        wchar_t name[kKeyNameUnits];
        DWORD length = kKeyNameUnits;
        if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(name, length);
    }
    return names;
}

}  // namespace

bool createKey(HKEY root, const std::wstring& path, REGSAM view) {
    Key key;
    return RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key.handle, nullptr) ==
           ERROR_SUCCESS;
}

bool keyExists(HKEY root, const std::wstring& path, REGSAM view) {
    Key key;
    return openKey(root, path, KEY_READ | view, key);
}

bool deleteTree(HKEY root, const std::wstring& path, REGSAM view) {
    // Child by child through handles of our own, so that the view flag (which
    // counts only for paths resolved from a predefined root) is honoured.
    if (!keyExists(root, path, view)) {
        return true;
    }
    for (const std::wstring& child : subkeyNames(root, path, view)) {
        deleteTree(root, path + L"\\" + child, view);
    }
    RegDeleteKeyExW(root, path.c_str(), view, 0);
    return !keyExists(root, path, view);
}

int createChain(HKEY root, const std::wstring& path, int levels, std::wstring (*nameOf)(int)) {
    Key current;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &current.handle, nullptr) !=
        ERROR_SUCCESS) {
        return 0;
    }
    int made = 0;
    for (; made < levels; ++made) {
        Key next;
        if (RegCreateKeyExW(current.handle, nameOf(made + 1).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &next.handle, nullptr) != ERROR_SUCCESS) {
            break;
        }
        std::swap(current.handle, next.handle);
    }
    return made;
}

int chainDepth(HKEY root, const std::wstring& path) {
    Key current;
    if (RegOpenKeyExW(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ, &current.handle) != ERROR_SUCCESS) {
        return -1;
    }
    int depth = 0;
    for (;;) {
        wchar_t name[256];
        DWORD length = 256;
        Key next;
        if (RegEnumKeyExW(current.handle, 0, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
            RegOpenKeyExW(current.handle, name, REG_OPTION_OPEN_LINK, KEY_READ, &next.handle) != ERROR_SUCCESS) {
            return depth;
        }
        std::swap(current.handle, next.handle);
        ++depth;
    }
}

bool setValue(HKEY root, const std::wstring& path, const std::wstring& name, DWORD type, const void* data, DWORD size,
              REGSAM view) {
    Key key;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key.handle, nullptr) !=
        ERROR_SUCCESS) {
        return false;
    }
    return RegSetValueExW(key.handle, name.c_str(), 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
}

bool setString(HKEY root, const std::wstring& path, const std::wstring& name, const std::wstring& value, REGSAM view) {
    return setValue(root, path, name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)),
                    view);
}

bool setDword(HKEY root, const std::wstring& path, const std::wstring& name, DWORD value, REGSAM view) {
    return setValue(root, path, name, REG_DWORD, &value, sizeof value, view);
}

bool setBinary(HKEY root, const std::wstring& path, const std::wstring& name, const std::vector<BYTE>& data,
               REGSAM view) {
    return setValue(root, path, name, REG_BINARY, data.data(), static_cast<DWORD>(data.size()), view);
}

std::wstring Value::text() const {
    std::wstring result;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        const auto unit = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
        if (unit == L'\0') {
            break;
        }
        result.push_back(unit);
    }
    return result;
}

Value readValue(HKEY root, const std::wstring& path, const std::wstring& name, REGSAM view) {
    Value value;
    Key key;
    if (!openKey(root, path, KEY_READ | view, key)) {
        return value;
    }
    DWORD size = 0;
    if (RegQueryValueExW(key.handle, name.c_str(), nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS) {
        return value;
    }
    value.data.resize(size);
    if (RegQueryValueExW(key.handle, name.c_str(), nullptr, &value.type, value.data.data(), &size) != ERROR_SUCCESS) {
        return Value{};
    }
    value.data.resize(size);
    value.present = true;
    return value;
}

bool valueExists(HKEY root, const std::wstring& path, const std::wstring& name, REGSAM view) {
    return readValue(root, path, name, view).present;
}

std::vector<std::wstring> subkeyNames(HKEY root, const std::wstring& path, REGSAM view) {
    Key key;
    if (!openKey(root, path, KEY_READ | view, key)) {
        return {};
    }
    return enumerateSubkeys(key.handle);
}

std::vector<std::wstring> valueNames(HKEY root, const std::wstring& path, REGSAM view) {
    std::vector<std::wstring> names;
    Key key;
    if (!openKey(root, path, KEY_READ | view, key)) {
        return names;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[16384];
        DWORD length = 16384;
        if (RegEnumValueW(key.handle, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(name, length);
    }
    return names;
}

namespace {

constexpr std::size_t kShortComponent = 32;
constexpr std::size_t kLongestShownPath = 512;

std::wstring join(const std::wstring& parent, const std::wstring& child) {
    return parent.empty() ? child : parent + L"\\" + child;
}

struct Dump {
    const DumpOptions& options;
    std::vector<std::wstring>& lines;

    std::wstring shown(const std::wstring& name) const { return options.shorten ? shortName(name) : name; }

    bool skipped(const std::wstring& entry) const {
        return std::any_of(options.skip.begin(), options.skip.end(),
                           [&](const std::wstring& s) { return lstrcmpiW(s.c_str(), entry.c_str()) == 0; });
    }

    std::wstring keyLine(const std::wstring& label) const {
        return options.tagged ? L"K " + label : L"[" + label + L"]";
    }

    // Each value is read with its data by the one enumeration call, with
    // buffers as large as the key says its largest name and data are.
    void values(HKEY key, const std::wstring& relative, const std::wstring& label) const {
        DWORD nameUnits = 0;
        DWORD dataBytes = 0;
        if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &nameUnits, &dataBytes,
                             nullptr, nullptr) != ERROR_SUCCESS) {
            lines.push_back(keyLine(label) + L" values unreadable");
            return;
        }
        std::vector<wchar_t> name(nameUnits + 1);
        std::vector<BYTE> data(dataBytes);
        std::vector<std::wstring> found;
        for (DWORD index = 0;; ++index) {
            DWORD length = static_cast<DWORD>(name.size());
            DWORD size = static_cast<DWORD>(data.size());
            Value value;
            const LONG status =
                RegEnumValueW(key, index, name.data(), &length, nullptr, &value.type, data.data(), &size);
            if (status != ERROR_SUCCESS) {
                break;
            }
            const std::wstring valueName(name.data(), length);
            if (skipped(relative + L" : " + valueName)) {
                continue;
            }
            value.present = true;
            value.data.assign(data.data(), data.data() + size);
            found.push_back((options.tagged ? L"V " : L"") + label + L" : " + shown(valueName) + L" = " +
                            describe(value));
        }
        std::sort(found.begin(), found.end());
        lines.insert(lines.end(), found.begin(), found.end());
    }

    // `relative` is the real relative path while it is short enough to be
    // named in the skip list; `label` is what the lines print.
    void tree(HKEY key, const std::wstring& relative, const std::wstring& label, int depth) const {
        lines.push_back(keyLine(label));
        values(key, relative, label);
        for (const std::wstring& child : subkeysOf(key)) {
            const std::wstring childRelative =
                relative.size() <= kLongestShownPath ? join(relative, child) : std::wstring(L"?");
            if (skipped(childRelative)) {
                continue;
            }
            std::wstring childLabel = join(label, shown(child));
            if (options.shorten && childLabel.size() > kLongestShownPath) {
                childLabel = L"(depth " + std::to_wstring(depth + 1) + L")\\" + shown(child);
            }
            Key opened;
            const LONG status = RegOpenKeyExW(key, child.c_str(), REG_OPTION_OPEN_LINK, KEY_READ, &opened.handle);
            if (status != ERROR_SUCCESS) {
                lines.push_back(keyLine(childLabel) + L" unreadable (" + std::to_wstring(status) + L")");
                continue;
            }
            tree(opened.handle, childRelative, childLabel, depth + 1);
        }
    }
};

}  // namespace

std::vector<std::wstring> subkeysOf(HKEY key) {
    std::vector<std::wstring> names = enumerateSubkeys(key);
    std::sort(names.begin(), names.end());
    return names;
}

std::wstring hashOf(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const BYTE*>(data);
    DWORD hash = 2166136261U;  // FNV-1a
    for (std::size_t i = 0; i < size; ++i) {
        hash = (hash ^ bytes[i]) * 16777619U;
    }
    wchar_t text[16];
    std::swprintf(text, 16, L"%08lx", hash);
    return text;
}

std::wstring shortName(const std::wstring& name) {
    if (name.size() <= kShortComponent) {
        return name;
    }
    return name.substr(0, 8) + L"...(" + std::to_wstring(name.size()) + L" units, " +
           hashOf(name.data(), name.size() * sizeof(wchar_t)) + L")";
}

std::vector<std::wstring> dumpTree(HKEY root, const std::wstring& path, REGSAM view, const DumpOptions& options) {
    std::vector<std::wstring> lines;
    Key key;
    if (RegOpenKeyExW(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ | view, &key.handle) == ERROR_SUCCESS) {
        Dump{options, lines}.tree(key.handle, L"", options.label, 0);
    }
    return lines;
}

std::wstring describe(const Value& value) {
    if (!value.present) {
        return L"absent";
    }
    wchar_t buffer[128];
    switch (value.type) {
        case REG_SZ:
        case REG_EXPAND_SZ: {
            const std::wstring text = value.text();
            std::swprintf(buffer, 128, L" (%ls, %u bytes)", value.type == REG_SZ ? L"REG_SZ" : L"REG_EXPAND_SZ",
                          static_cast<unsigned>(value.data.size()));
            const bool padding =
                std::all_of(value.data.begin() +
                                static_cast<std::ptrdiff_t>(std::min(value.data.size(), text.size() * sizeof(wchar_t))),
                            value.data.end(), [](BYTE b) { return b == 0; });
            return L"\"" + text + L"\"" + buffer +
                   (padding ? L"" : L" hash " + hashOf(value.data.data(), value.data.size()));
        }
        case REG_DWORD:
            if (value.data.size() == 4) {
                DWORD number = 0;
                std::copy(value.data.begin(), value.data.end(), reinterpret_cast<BYTE*>(&number));
                std::swprintf(buffer, 128, L"%lu (REG_DWORD)", number);
                return buffer;
            }
            break;
        case REG_BINARY:
            if (value.data.size() == sizeof(SYSTEMTIME)) {
                SYSTEMTIME time{};
                std::copy(value.data.begin(), value.data.end(), reinterpret_cast<BYTE*>(&time));
                std::swprintf(buffer, 128, L"%04u-%02u-%02u %02u:%02u:%02u.%03u UTC (REG_BINARY, 16 bytes)", time.wYear,
                              time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond, time.wMilliseconds);
                return buffer;
            }
            break;
        default:
            break;
    }
    std::wstring hex;
    for (std::size_t i = 0; i < value.data.size() && i < 24; ++i) {
        std::swprintf(buffer, 128, L"%02x", value.data[i]);
        hex += buffer;
    }
    std::swprintf(buffer, 128, L" (type %lu, %u bytes)", value.type, static_cast<unsigned>(value.data.size()));
    return hex + buffer + (value.data.size() <= 24 ? L"" : L" hash " + hashOf(value.data.data(), value.data.size()));
}

bool writeFile(const std::wstring& path, const std::string& content) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
    return ok != FALSE && written == content.size();
}

std::string readFile(const std::wstring& path) {
    std::string content;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return content;
    }
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) != FALSE && got != 0) {
        content.append(buffer, got);
    }
    CloseHandle(file);
    return content;
}

bool fileExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool directoryExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool createDirectories(const std::wstring& path) {
    for (std::size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
    CreateDirectoryW(path.c_str(), nullptr);
    return directoryExists(path);
}

bool removeDirectoryTree(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring child = path + L"\\" + name;
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
                removeDirectoryTree(child);
            } else if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                RemoveDirectoryW(child.c_str());
            } else {
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find, &entry) != FALSE);
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
    return !directoryExists(path) && !fileExists(path);
}

std::wstring shellFolder(int csidl) {
    wchar_t path[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) {
        return {};
    }
    return path;
}

bool enablePrivilege(const wchar_t* name) {
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token) == FALSE) {
        return false;
    }
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    bool ok = LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) != FALSE &&
              AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) != FALSE &&
              GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return ok;
}

std::string narrow(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, result.data(), size, nullptr, nullptr);
    result.resize(result.size() - 1);
    return result;
}

std::wstring currentUserSid() {
    std::wstring sid;
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) == FALSE) {
        return sid;
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    wchar_t* text = nullptr;
    if (size != 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size) != FALSE &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text) != FALSE) {
        sid = text;
        LocalFree(text);
    }
    CloseHandle(token);
    return sid;
}

bool privilegeEnabled(const wchar_t* privilege) {
    LUID luid{};
    HANDLE token = nullptr;
    if (LookupPrivilegeValueW(nullptr, privilege, &luid) == FALSE ||
        OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) == FALSE) {
        return false;
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    bool enabled = false;
    if (size != 0 && GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size) != FALSE) {
        const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
        for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
            const LUID& held = privileges->Privileges[i].Luid;
            if (held.LowPart == luid.LowPart && held.HighPart == luid.HighPart) {
                enabled = (privileges->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
            }
        }
    }
    CloseHandle(token);
    return enabled;
}

std::wstring kernelKeyName(HKEY key) {
    // KEY_NAME_INFORMATION: a byte length, then the name without terminator.
    using NtQueryKeyFn = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    static const auto ntQueryKey = reinterpret_cast<NtQueryKeyFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryKey")));
    constexpr int kKeyNameInformation = 3;
    alignas(ULONG) BYTE buffer[4096] = {};
    ULONG size = 0;
    if (ntQueryKey == nullptr || ntQueryKey(key, kKeyNameInformation, buffer, sizeof buffer, &size) < 0) {
        return {};
    }
    ULONG length = 0;
    std::memcpy(&length, buffer, sizeof length);
    return std::wstring(reinterpret_cast<const wchar_t*>(buffer + sizeof(ULONG)), length / sizeof(wchar_t));
}

}  // namespace machine
