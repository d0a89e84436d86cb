#include "trace/names.h"

#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <vector>

#include "machine/machine.h"

namespace trace {
namespace {

struct Named {
    DWORD value;
    const char* name;
};

const Named kWin32Errors[] = {
    {0, "ERROR_SUCCESS"},
    {2, "ERROR_FILE_NOT_FOUND"},
    {3, "ERROR_PATH_NOT_FOUND"},
    {5, "ERROR_ACCESS_DENIED"},
    {6, "ERROR_INVALID_HANDLE"},
    {8, "ERROR_NOT_ENOUGH_MEMORY"},
    {14, "ERROR_OUTOFMEMORY"},
    {18, "ERROR_NO_MORE_FILES"},
    {32, "ERROR_SHARING_VIOLATION"},
    {87, "ERROR_INVALID_PARAMETER"},
    {122, "ERROR_INSUFFICIENT_BUFFER"},
    {126, "ERROR_MOD_NOT_FOUND"},
    {127, "ERROR_PROC_NOT_FOUND"},
    {183, "ERROR_ALREADY_EXISTS"},
    {234, "ERROR_MORE_DATA"},
    {259, "ERROR_NO_MORE_ITEMS"},
    {1009, "ERROR_BADDB"},
    {1010, "ERROR_BADKEY"},
    {1015, "ERROR_REGISTRY_CORRUPT"},
    {1017, "ERROR_NOT_REGISTRY_FILE"},
    {1018, "ERROR_KEY_DELETED"},
    {1020, "ERROR_KEY_HAS_CHILDREN"},
    {1300, "ERROR_NOT_ALL_ASSIGNED"},
    {1313, "ERROR_NO_SUCH_PRIVILEGE"},
    {1314, "ERROR_PRIVILEGE_NOT_HELD"},
};

const Named kNtStatuses[] = {
    {0x00000000, "STATUS_SUCCESS"},
    {0x80000005, "STATUS_BUFFER_OVERFLOW"},
    {0x8000001A, "STATUS_NO_MORE_ENTRIES"},
    {0xC0000008, "STATUS_INVALID_HANDLE"},
    {0xC000000D, "STATUS_INVALID_PARAMETER"},
    {0xC0000017, "STATUS_NO_MEMORY"},
    {0xC0000022, "STATUS_ACCESS_DENIED"},
    {0xC0000023, "STATUS_BUFFER_TOO_SMALL"},
    {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"},
    {0xC000003A, "STATUS_OBJECT_PATH_NOT_FOUND"},
    {0xC0000121, "STATUS_CANNOT_DELETE"},
    {0xC000017C, "STATUS_KEY_DELETED"},
};

const Named kCsidls[] = {
    {CSIDL_DESKTOP, "CSIDL_DESKTOP"},
    {CSIDL_SENDTO, "CSIDL_SENDTO"},
    {CSIDL_APPDATA, "CSIDL_APPDATA"},
    {CSIDL_LOCAL_APPDATA, "CSIDL_LOCAL_APPDATA"},
    {CSIDL_COMMON_APPDATA, "CSIDL_COMMON_APPDATA"},
    {CSIDL_WINDOWS, "CSIDL_WINDOWS"},
    {CSIDL_SYSTEM, "CSIDL_SYSTEM"},
    {CSIDL_PROGRAM_FILES, "CSIDL_PROGRAM_FILES"},
    {CSIDL_PROFILE, "CSIDL_PROFILE"},
    {CSIDL_PROGRAM_FILESX86, "CSIDL_PROGRAM_FILESX86"},
    {CSIDL_PROGRAM_FILES_COMMON, "CSIDL_PROGRAM_FILES_COMMON"},
};

const Named kValueTypes[] = {
    {REG_NONE, "REG_NONE"},           {REG_SZ, "REG_SZ"},
    {REG_EXPAND_SZ, "REG_EXPAND_SZ"}, {REG_BINARY, "REG_BINARY"},
    {REG_DWORD, "REG_DWORD"},         {REG_DWORD_BIG_ENDIAN, "REG_DWORD_BIG_ENDIAN"},
    {REG_LINK, "REG_LINK"},           {REG_MULTI_SZ, "REG_MULTI_SZ"},
    {REG_QWORD, "REG_QWORD"},
};

// Composite masks first: each name is used when all its bits are set and it
// adds a bit not yet named.
const Named kKeyAccess[] = {
    {KEY_ALL_ACCESS, "KEY_ALL_ACCESS"},
    {KEY_READ, "KEY_READ"},
    {KEY_WRITE, "KEY_WRITE"},
    {KEY_WOW64_64KEY, "KEY_WOW64_64KEY"},
    {KEY_WOW64_32KEY, "KEY_WOW64_32KEY"},
    {DELETE, "DELETE"},
    {KEY_QUERY_VALUE, "KEY_QUERY_VALUE"},
    {KEY_SET_VALUE, "KEY_SET_VALUE"},
    {KEY_CREATE_SUB_KEY, "KEY_CREATE_SUB_KEY"},
    {KEY_ENUMERATE_SUB_KEYS, "KEY_ENUMERATE_SUB_KEYS"},
    {KEY_NOTIFY, "KEY_NOTIFY"},
    {KEY_CREATE_LINK, "KEY_CREATE_LINK"},
    {READ_CONTROL, "READ_CONTROL"},
    {WRITE_DAC, "WRITE_DAC"},
    {WRITE_OWNER, "WRITE_OWNER"},
    {MAXIMUM_ALLOWED, "MAXIMUM_ALLOWED"},
};

const Named kKeyOptions[] = {
    {REG_OPTION_VOLATILE, "REG_OPTION_VOLATILE"},
    {REG_OPTION_CREATE_LINK, "REG_OPTION_CREATE_LINK"},
    {REG_OPTION_BACKUP_RESTORE, "REG_OPTION_BACKUP_RESTORE"},
    {REG_OPTION_OPEN_LINK, "REG_OPTION_OPEN_LINK"},
};

const Named kTokenAccess[] = {
    {TOKEN_ALL_ACCESS, "TOKEN_ALL_ACCESS"},
    {TOKEN_ASSIGN_PRIMARY, "TOKEN_ASSIGN_PRIMARY"},
    {TOKEN_DUPLICATE, "TOKEN_DUPLICATE"},
    {TOKEN_IMPERSONATE, "TOKEN_IMPERSONATE"},
    {TOKEN_QUERY, "TOKEN_QUERY"},
    {TOKEN_QUERY_SOURCE, "TOKEN_QUERY_SOURCE"},
    {TOKEN_ADJUST_PRIVILEGES, "TOKEN_ADJUST_PRIVILEGES"},
    {TOKEN_ADJUST_GROUPS, "TOKEN_ADJUST_GROUPS"},
    {TOKEN_ADJUST_DEFAULT, "TOKEN_ADJUST_DEFAULT"},
    {TOKEN_ADJUST_SESSIONID, "TOKEN_ADJUST_SESSIONID"},
};

const Named kPrivilegeAttributes[] = {
    {SE_PRIVILEGE_ENABLED_BY_DEFAULT, "SE_PRIVILEGE_ENABLED_BY_DEFAULT"},
    {SE_PRIVILEGE_ENABLED, "SE_PRIVILEGE_ENABLED"},
    {SE_PRIVILEGE_REMOVED, "SE_PRIVILEGE_REMOVED"},
    {SE_PRIVILEGE_USED_FOR_ACCESS, "SE_PRIVILEGE_USED_FOR_ACCESS"},
};

template <std::size_t N>
const char* nameOf(const Named (&table)[N], DWORD value) {
    for (const Named& named : table) {
        if (named.value == value) {
            return named.name;
        }
    }
    return nullptr;
}

template <std::size_t N>
std::string flags(const Named (&table)[N], DWORD mask, const char* zero) {
    if (mask == 0) {
        return zero;
    }
    std::string text;
    DWORD named = 0;
    for (const Named& flag : table) {
        if ((mask & flag.value) == flag.value && (flag.value & ~named) != 0) {
            text += (text.empty() ? "" : "|") + std::string(flag.name);
            named |= flag.value;
        }
    }
    if ((mask & ~named) != 0) {
        text += (text.empty() ? "" : "|") + hex(mask & ~named);
    }
    return text;
}

std::string numberAndName(DWORD value, const char* name) {
    return std::to_string(value) + (name != nullptr ? std::string(" ") + name : std::string());
}

bool startsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
    return text.size() >= prefix.size() &&
           CompareStringOrdinal(text.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                                static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL &&
           (text.size() == prefix.size() || text[prefix.size()] == L'\\');
}

}  // namespace

std::string utf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

std::string utf8(const wchar_t* text) { return text != nullptr ? utf8(std::wstring(text)) : "NULL"; }

std::string quoted(const wchar_t* text) { return text != nullptr ? "\"" + utf8(std::wstring(text)) + "\"" : "NULL"; }

std::string hex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%lX", static_cast<unsigned long>(value));
    return text;
}

std::string win32Status(DWORD status) { return numberAndName(status, nameOf(kWin32Errors, status)); }

std::string ntStatus(DWORD status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(status));
    const char* name = nameOf(kNtStatuses, status);
    return std::string(text) + (name != nullptr ? std::string(" ") + name : std::string());
}

std::string hresult(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
    const char* name = nullptr;
    if (value == 0) {
        name = "S_OK";
    } else if (value == 1) {
        name = "S_FALSE";
    } else if (value == 0x80004005) {
        name = "E_FAIL";
    } else if ((value & 0xFFFF0000) == 0x80070000) {
        name = nameOf(kWin32Errors, value & 0xFFFF);
    }
    if (name == nullptr) {
        return text;
    }
    return std::string(text) +
           ((value & 0xFFFF0000) == 0x80070000 ? " (" + std::string(name) + ")" : " " + std::string(name));
}

std::string keyAccess(DWORD mask) { return flags(kKeyAccess, mask, "0"); }
std::string keyOptions(DWORD options) { return flags(kKeyOptions, options, "0"); }
std::string createOptions(DWORD options) { return flags(kKeyOptions, options, "REG_OPTION_NON_VOLATILE"); }
std::string tokenAccess(DWORD mask) { return flags(kTokenAccess, mask, "0"); }
std::string privilegeAttributes(DWORD attributes) { return flags(kPrivilegeAttributes, attributes, "0"); }

std::string valueType(DWORD type) {
    const char* name = nameOf(kValueTypes, type);
    return name != nullptr ? name : std::to_string(type);
}

std::string csidl(DWORD folder) {
    const char* name = nameOf(kCsidls, folder & ~static_cast<DWORD>(CSIDL_FLAG_MASK));
    std::string text = name != nullptr ? name : hex(folder & ~static_cast<DWORD>(CSIDL_FLAG_MASK));
    if ((folder & CSIDL_FLAG_CREATE) != 0) {
        text += "|CSIDL_FLAG_CREATE";
    }
    return text;
}

std::string folderFlags(DWORD value) {
    return value == SHGFP_TYPE_CURRENT   ? "SHGFP_TYPE_CURRENT"
           : value == SHGFP_TYPE_DEFAULT ? "SHGFP_TYPE_DEFAULT"
                                         : hex(value);
}

std::string locale(DWORD lcid) {
    return lcid == LOCALE_USER_DEFAULT     ? "LOCALE_USER_DEFAULT"
           : lcid == LOCALE_SYSTEM_DEFAULT ? "LOCALE_SYSTEM_DEFAULT"
                                           : hex(lcid);
}

std::string disposition(DWORD value) {
    return value == REG_CREATED_NEW_KEY       ? "REG_CREATED_NEW_KEY"
           : value == REG_OPENED_EXISTING_KEY ? "REG_OPENED_EXISTING_KEY"
                                              : hex(value);
}

std::string valueData(DWORD type, const BYTE* data, DWORD size) {
    if (data == nullptr) {
        return "NULL";
    }
    if ((type == REG_SZ || type == REG_EXPAND_SZ || type == REG_LINK) && size >= 2) {
        const auto* text = reinterpret_cast<const wchar_t*>(data);
        std::size_t length = 0;
        while (length < size / 2 && text[length] != 0) {
            ++length;
        }
        return "\"" + utf8(std::wstring(text, length)) + "\"";
    }
    if (type == REG_DWORD && size == 4) {
        DWORD value = 0;
        std::memcpy(&value, data, 4);
        return std::to_string(value);
    }
    std::string text;
    for (DWORD i = 0; i < size && i < 16; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02X", data[i]);
        text += (i == 0 ? "" : " ") + std::string(byte);
    }
    return size > 16 ? text + " ..." : text;
}

std::string predefinedRoot(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) {
        return "HKLM";
    }
    if (key == HKEY_CURRENT_USER) {
        return "HKCU";
    }
    if (key == HKEY_USERS) {
        return "HKU";
    }
    if (key == HKEY_CLASSES_ROOT) {
        return "HKCR";
    }
    return {};
}

std::string keyPath(HKEY key) {
    std::string root = predefinedRoot(key);
    if (!root.empty()) {
        return root;
    }
    static const std::wstring userHive = L"HKU\\" + machine::currentUserSid();
    std::wstring name = machine::kernelKeyName(key);
    if (name.empty()) {
        return {};
    }
    const std::pair<const wchar_t*, const wchar_t*> roots[] = {{L"\\REGISTRY\\MACHINE", L"HKLM"},
                                                               {L"\\REGISTRY\\USER", L"HKU"}};
    for (const auto& [nt, shortName] : roots) {
        if (startsWithNoCase(name, nt)) {
            name = shortName + name.substr(std::wcslen(nt));
            break;
        }
    }
    if (userHive.size() > 4 && startsWithNoCase(name, userHive)) {
        name = L"HKCU" + name.substr(userHive.size());
    }
    return utf8(name);
}

std::string viewOf(DWORD access) {
    if ((access & KEY_WOW64_64KEY) != 0) {
        return "64-bit view";
    }
    if ((access & KEY_WOW64_32KEY) != 0) {
        return "32-bit view";
    }
    return "default view";
}

}  // namespace trace
