#pragma once

// Windows values as a person reads them: status codes with their names,
// access masks and flags by name, registry keys by the full path they name.

#include <windows.h>

#include <string>

namespace trace {

std::string utf8(const std::wstring& text);
std::string utf8(const wchar_t* text);  // "NULL" for null
// A string argument as it reads in a trace: in double quotes, or NULL.
std::string quoted(const wchar_t* text);
std::string hex(DWORD value);

// "2 ERROR_FILE_NOT_FOUND", "0 ERROR_SUCCESS", or the bare number.
std::string win32Status(DWORD status);
// "0xC0000022 STATUS_ACCESS_DENIED".
std::string ntStatus(DWORD status);
// "0x80070002 (ERROR_FILE_NOT_FOUND)", "0x00000000 S_OK".
std::string hresult(DWORD value);

std::string keyAccess(DWORD mask);         // KEY_READ|KEY_WRITE
std::string keyOptions(DWORD options);     // REG_OPTION_OPEN_LINK, or 0
std::string createOptions(DWORD options);  // REG_OPTION_NON_VOLATILE for 0
std::string tokenAccess(DWORD mask);       // TOKEN_ADJUST_PRIVILEGES|TOKEN_QUERY
std::string valueType(DWORD type);         // REG_SZ
std::string csidl(DWORD folder);           // CSIDL_PROGRAM_FILES
std::string folderFlags(DWORD flags);      // SHGFP_TYPE_CURRENT
std::string locale(DWORD lcid);            // LOCALE_USER_DEFAULT
std::string disposition(DWORD value);      // REG_CREATED_NEW_KEY
std::string privilegeAttributes(DWORD attributes);
// "12/9/2026" for REG_SZ, 7 for REG_DWORD, hex bytes otherwise (shortened).
std::string valueData(DWORD type, const BYTE* data, DWORD size);

// The name of a predefined root (HKLM, HKCU, HKU, HKCR), or empty.
std::string predefinedRoot(HKEY key);
// The full path that an open key names, as "HKLM\Software\Wow6432Node\...",
// "HKU\<hive>\...", the calling account's hive as "HKCU\..."; empty when the
// handle names no key.
std::string keyPath(HKEY key);
// The view a key was opened in, from its access mask.
std::string viewOf(DWORD access);

}  // namespace trace
