#include "trace/call_trace.h"

#include <cstdio>
#include <cstring>
#include <cwctype>

#include "machine/hives.h"
#include "machine/machine.h"
#include "trace/names.h"

namespace trace {
namespace {

const char* const kBoolFunctions[] = {"OpenProcessToken", "LookupPrivilegeValueW", "GetUserNameW",
                                      "DeleteFileW",      "FindNextFileW",         "FindClose",
                                      "CloseHandle"};

bool isBool(const std::string& function) {
    for (const char* name : kBoolFunctions) {
        if (function == name) {
            return true;
        }
    }
    return false;
}

bool isRegistryStatus(const std::string& function) { return function.rfind("Reg", 0) == 0 || function == "SHCopyKeyW"; }

bool isNtStatus(const std::string& function) { return function.rfind("Nt", 0) == 0 || function.rfind("Zw", 0) == 0; }

// Memory bookkeeping is counted, not listed: the process heap's calls, and
// those of a C runtime where a DLL imports one.
bool isRuntime(const ImportEntry& entry) {
    return lstrcmpiA(entry.dll.c_str(), "msvcrt.dll") == 0 || entry.function == "HeapAlloc" ||
           entry.function == "HeapFree" || entry.function == "GetProcessHeap";
}

const wchar_t* wide(DWORD word) { return reinterpret_cast<const wchar_t*>(word); }

std::string boolResult(DWORD result, DWORD lastError) {
    return result != FALSE ? "TRUE" : "FALSE, last error " + win32Status(lastError);
}

std::wstring lower(std::wstring text) {
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(std::towlower(c));
    }
    return text;
}

std::wstring widen(const std::string& text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

std::string moduleName(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    if (GetModuleFileNameW(module, path, MAX_PATH) == 0) {
        return hex(reinterpret_cast<DWORD>(module));
    }
    const wchar_t* slash = std::wcsrchr(path, L'\\');
    return utf8(slash != nullptr ? slash + 1 : path);
}

// The full path of parent\name as it is before the call, the key opened as
// itself (a link is not followed); parent\name when it does not open.
std::string childPath(const std::string& parentPath, HKEY parent, const wchar_t* name, REGSAM view) {
    if (name == nullptr || *name == 0) {
        return parentPath;
    }
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, name, REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE | view, &key) == ERROR_SUCCESS) {
        std::string path = keyPath(key);
        RegCloseKey(key);
        if (!path.empty()) {
            return path;
        }
    }
    return parentPath + "\\" + utf8(name);
}

// How many of the keys on parent\path do not exist yet.
std::size_t missingKeys(HKEY parent, const wchar_t* path, REGSAM view) {
    if (path == nullptr) {
        return 0;
    }
    std::vector<std::wstring> prefixes;
    std::wstring prefix;
    for (const wchar_t* c = path;; ++c) {
        if (*c == L'\\' || *c == 0) {
            if (!prefix.empty() && prefix.back() != L'\\') {
                prefixes.push_back(prefix);
            }
            if (*c == 0) {
                break;
            }
        }
        prefix += *c;
    }
    for (std::size_t i = 0; i < prefixes.size(); ++i) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(parent, prefixes[i].c_str(), 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS) {
            return prefixes.size() - i;
        }
        RegCloseKey(key);
    }
    return 0;
}

}  // namespace

struct CallTrace::State {
    ImportRecorder& recorder;
    std::function<void(const Event&)> onEvent;
    std::size_t listed = 0;
    std::map<std::string, std::size_t> calls;
    std::map<std::string, std::size_t> runtime;
    std::vector<Item> items;
    // What each open key, search and token names.
    std::map<HKEY, std::string> keys;
    std::map<HANDLE, std::string> finds;
    HandleCount keyCount;
    HandleCount findCount;
    HandleCount tokenCount;
    // Mount name (lower case) to hive file, while mounted.
    std::map<std::wstring, std::string> mounts;

    // Worked out before a call, used when it returns.
    struct Before {
        std::string arguments;
        std::string target;   // the key, file or value's key that the call works on
        std::size_t missing;  // RegCreateKeyExW: keys on the path that do not exist yet
    };
    std::map<std::size_t, Before> before;

    State(ImportRecorder& r, std::function<void(const Event&)> e) : recorder(r), onEvent(std::move(e)) {}

    // A key handle as a path, with the view it was opened in for keys of
    // HKEY_LOCAL_MACHINE.
    std::string label(HKEY key) const {
        const auto found = keys.find(key);
        if (found != keys.end()) {
            return found->second;
        }
        const std::string path = keyPath(key);
        return path.empty() ? hex(reinterpret_cast<DWORD>(key)) : path;
    }
    static std::string pathOf(const std::string& labelText) { return labelText.substr(0, labelText.find(" [")); }
    std::string opened(HKEY key, DWORD access) {
        std::string path = keyPath(key);
        if (path.empty()) {
            path = hex(reinterpret_cast<DWORD>(key));
        }
        if (path.rfind("HKLM", 0) == 0) {
            path += " [" + viewOf(access) + "]";
        }
        keys[key] = path;
        ++keyCount.opened;
        return path;
    }

    std::string hiveFileOf(const std::string& path) const {
        for (const auto& [name, file] : mounts) {
            const std::wstring mounted = L"hku\\" + name;
            const std::wstring lowered = lower(widen(path));
            if (lowered == mounted || lowered.rfind(mounted + L"\\", 0) == 0) {
                return file;
            }
        }
        return {};
    }

    void item(const char* action, const char* kind, const std::string& path, const std::string& name, bool ok,
              const std::string& status, std::size_t sequence, const std::string& detail = {}) {
        Item made;
        made.action = action;
        made.kind = kind;
        made.path = path;
        made.name = name;
        made.hiveFile = std::string(kind) == "hive" ? std::string() : hiveFileOf(path);
        made.detail = detail;
        made.ok = ok;
        made.status = status;
        made.sequence = sequence;
        items.push_back(std::move(made));
    }

    void beforeCall(std::size_t position, const std::string& function, const DWORD* a) {
        Before& b = before[position];
        b.missing = 0;
        const auto key = [&](std::size_t i) { return label(reinterpret_cast<HKEY>(a[i])); };
        const auto hkey = [&](std::size_t i) { return reinterpret_cast<HKEY>(a[i]); };
        std::string& text = b.arguments;
        if (function == "RegOpenKeyExW") {
            text = key(0) + ", " + quoted(wide(a[1])) + ", " + keyOptions(a[2]) + ", " + keyAccess(a[3]);
        } else if (function == "RegOpenKeyW") {
            text = key(0) + ", " + quoted(wide(a[1]));
        } else if (function == "RegCreateKeyExW") {
            text = key(0) + ", " + quoted(wide(a[1])) + ", " + std::to_string(a[2]) + ", " + quoted(wide(a[3])) + ", " +
                   createOptions(a[4]) + ", " + keyAccess(a[5]) + (a[6] != 0 ? ", security" : ", NULL");
            b.missing = missingKeys(hkey(0), wide(a[1]), a[5] & (KEY_WOW64_64KEY | KEY_WOW64_32KEY));
        } else if (function == "RegCloseKey" || function == "RegQueryInfoKeyW") {
            text = key(0);
        } else if (function == "RegEnumKeyExW") {
            text = key(0) + ", " + std::to_string(a[1]);
        } else if (function == "RegQueryValueExW" || function == "RegDeleteValueW") {
            text = key(0) + ", " + quoted(wide(a[1]));
            b.target = pathOf(key(0));
        } else if (function == "RegSetValueExW") {
            text = key(0) + ", " + quoted(wide(a[1])) + ", " + valueType(a[3]) + ", " +
                   valueData(a[3], reinterpret_cast<const BYTE*>(a[4]), a[5]) + ", " + std::to_string(a[5]) + " bytes";
            b.target = pathOf(key(0));
        } else if (function == "RegDeleteKeyW") {
            text = key(0) + ", " + quoted(wide(a[1]));
            b.target = childPath(pathOf(key(0)), hkey(0), wide(a[1]), 0);
        } else if (function == "RegDeleteKeyExW") {
            text = key(0) + ", " + quoted(wide(a[1])) + ", " + keyAccess(a[2]) + ", " + std::to_string(a[3]);
            b.target = childPath(pathOf(key(0)), hkey(0), wide(a[1]), a[2] & (KEY_WOW64_64KEY | KEY_WOW64_32KEY));
        } else if (function == "NtDeleteKey") {
            text = key(0);
            b.target = pathOf(key(0));
        } else if (function == "NtQueryKey") {
            const char* classes[] = {"KeyBasicInformation", "KeyNodeInformation",   "KeyFullInformation",
                                     "KeyNameInformation",  "KeyCachedInformation", "KeyFlagsInformation"};
            text = key(0) + ", " + (a[1] < 6 ? classes[a[1]] : std::to_string(a[1]).c_str()) + ", buffer, " +
                   std::to_string(a[3]);
        } else if (function == "RegLoadKeyW") {
            text = key(0) + ", " + quoted(wide(a[1])) + ", " + quoted(wide(a[2]));
            b.target = pathOf(key(0)) + "\\" + utf8(wide(a[1]));
        } else if (function == "RegUnLoadKeyW") {
            text = key(0) + ", " + quoted(wide(a[1]));
            b.target = pathOf(key(0)) + "\\" + utf8(wide(a[1]));
        } else if (function == "SHCopyKeyW") {
            text = key(0) + ", " + quoted(wide(a[1])) + ", " + key(2) + ", " + std::to_string(a[3]);
            b.target = pathOf(key(2));
        } else if (function == "OpenProcessToken") {
            text = (a[0] == reinterpret_cast<DWORD>(GetCurrentProcess()) ? std::string("this process") : hex(a[0])) +
                   ", " + tokenAccess(a[1]);
        } else if (function == "LookupPrivilegeValueW") {
            text = quoted(wide(a[0])) + ", " + quoted(wide(a[1]));
        } else if (function == "AdjustTokenPrivileges") {
            text = "token " + hex(a[0]) + ", " + (a[1] != 0 ? "disable all" : "FALSE");
            const auto* state = reinterpret_cast<const TOKEN_PRIVILEGES*>(a[2]);
            for (DWORD i = 0; state != nullptr && i < state->PrivilegeCount && i < 8; ++i) {
                wchar_t name[64] = {};
                DWORD length = 64;
                LUID luid = state->Privileges[i].Luid;
                const std::string privilege =
                    LookupPrivilegeNameW(nullptr, &luid, name, &length) != FALSE ? utf8(name) : "LUID";
                text += ", " + privilege + " " + privilegeAttributes(state->Privileges[i].Attributes);
            }
            text += a[4] != 0 ? ", previous state" : ", NULL";
        } else if (function == "GetUserNameW") {
            text = "buffer, " + std::to_string(a[1] != 0 ? *reinterpret_cast<const DWORD*>(a[1]) : 0);
        } else if (function == "SHGetFolderPathW") {
            text = (a[0] != 0 ? hex(a[0]) : std::string("NULL")) + ", " + csidl(a[1]) + ", " +
                   (a[2] != 0 ? hex(a[2]) : std::string("NULL")) + ", " + folderFlags(a[3]);
        } else if (function == "StringFromGUID2") {
            text = "GUID, buffer, " + std::to_string(a[2]);
        } else if (function == "DeleteFileW") {
            text = quoted(wide(a[0]));
            b.target = utf8(wide(a[0]));
        } else if (function == "FindFirstFileW") {
            text = quoted(wide(a[0]));
        } else if (function == "FindNextFileW" || function == "FindClose") {
            const auto found = finds.find(reinterpret_cast<HANDLE>(a[0]));
            text = found != finds.end() ? "search " + found->second : hex(a[0]);
        } else if (function == "CloseHandle") {
            const bool token = recorder.openTokenHandles().count(reinterpret_cast<HANDLE>(a[0])) != 0;
            text = (token ? "token " : "") + hex(a[0]);
        } else if (function == "GetModuleHandleW") {
            text = quoted(wide(a[0]));
        } else if (function == "GetProcAddress") {
            text = moduleName(reinterpret_cast<HMODULE>(a[0])) + ", " +
                   (HIWORD(a[1]) != 0 ? "\"" + std::string(reinterpret_cast<const char*>(a[1])) + "\""
                                      : "ordinal " + std::to_string(a[1]));
        } else if (function == "GetDateFormatW") {
            text = locale(a[0]) + ", " + std::to_string(a[1]) + ", " + (a[2] != 0 ? "date" : "NULL") + ", " +
                   quoted(wide(a[3])) + ", buffer, " + std::to_string(a[5]);
        } else if (function == "GetSystemTime" || function == "GetCurrentProcess") {
            text.clear();
        } else {
            text = "...";
        }
    }

    void afterCall(const RecordedCall& call) {
        const ImportEntry& entry = recorder.imports()[call.import];
        const std::string& function = entry.function;
        if (isRuntime(entry)) {
            ++runtime[function];
            before.erase(call.position);
            return;
        }
        ++calls[function];
        Event event;
        event.sequence = ++listed;
        event.function = function;
        const Before b = before[call.position];
        before.erase(call.position);
        event.arguments = b.arguments;
        const DWORD* a = call.arguments;
        const DWORD r = call.result;
        const bool ok = r == ERROR_SUCCESS;
        if (isRegistryStatus(function)) {
            event.result = win32Status(r);
        } else if (isNtStatus(function)) {
            event.result = ntStatus(r);
        } else if (isBool(function)) {
            event.result = boolResult(r, call.lastError);
        }
        const std::string status = event.result;
        if (function == "RegOpenKeyExW" || function == "RegOpenKeyW" || function == "RegCreateKeyExW") {
            const DWORD out = function == "RegOpenKeyExW" ? a[4] : function == "RegOpenKeyW" ? a[2] : a[7];
            if (ok && out != 0) {
                const HKEY key = *reinterpret_cast<const HKEY*>(out);
                const DWORD access = function == "RegOpenKeyExW" ? a[3] : function == "RegOpenKeyW" ? 0 : a[5];
                event.out = opened(key, access);
                if (function == "RegCreateKeyExW") {
                    const DWORD made = a[8] != 0 ? *reinterpret_cast<const DWORD*>(a[8]) : 0;
                    if (a[8] != 0) {
                        event.out += ", " + disposition(made);
                    }
                    // Each key on the path that did not exist, outermost first.
                    std::string path = pathOf(keys[key]);
                    std::vector<std::string> created;
                    for (std::size_t i = 0; i < b.missing; ++i) {
                        created.insert(created.begin(), path);
                        path = path.substr(0, path.rfind('\\'));
                    }
                    for (const std::string& createdKey : created) {
                        item("create", "key", createdKey, "", true, status, event.sequence);
                    }
                }
            } else if (function == "RegCreateKeyExW") {
                item("create", "key", pathOf(label(reinterpret_cast<HKEY>(a[0]))) + "\\" + utf8(wide(a[1])), "", false,
                     status, event.sequence);
            }
        } else if (function == "RegCloseKey") {
            keys.erase(reinterpret_cast<HKEY>(a[0]));
            ++keyCount.closed;
        } else if (function == "RegEnumKeyExW") {
            if (ok) {
                event.out = quoted(reinterpret_cast<const wchar_t*>(a[2]));
            }
        } else if (function == "RegQueryInfoKeyW") {
            if (ok) {
                const auto count = [&](std::size_t i) {
                    return a[i] != 0 ? std::to_string(*reinterpret_cast<const DWORD*>(a[i])) : std::string("-");
                };
                event.out = count(4) + " subkeys, " + count(7) + " values";
            }
        } else if (function == "RegQueryValueExW") {
            if (ok && a[3] != 0) {
                event.out = valueType(*reinterpret_cast<const DWORD*>(a[3]));
            }
        } else if (function == "RegSetValueExW") {
            item("write", "value", b.target, utf8(wide(a[1])), ok, status, event.sequence,
                 valueType(a[3]) + ", " + std::to_string(a[5]) +
                     " bytes: " + valueData(a[3], reinterpret_cast<const BYTE*>(a[4]), a[5]));
        } else if (function == "RegDeleteValueW") {
            item("delete", "value", b.target, utf8(wide(a[1])), ok, status, event.sequence);
        } else if (function == "RegDeleteKeyW" || function == "RegDeleteKeyExW") {
            item("delete", "key", b.target, "", ok, status, event.sequence);
        } else if (function == "NtDeleteKey") {
            item("delete", "key", b.target, "", ok, status, event.sequence);
        } else if (function == "SHCopyKeyW") {
            const std::string source = pathOf(label(reinterpret_cast<HKEY>(a[0]))) +
                                       (a[1] != 0 && *wide(a[1]) != 0 ? "\\" + utf8(wide(a[1])) : "");
            item("write", "tree", b.target, "", ok, status, event.sequence, "copy of " + source);
        } else if (function == "RegLoadKeyW") {
            if (ok) {
                mounts[lower(wide(a[1]))] = utf8(wide(a[2]));
            }
            item("mount", "hive", b.target, "", ok, status, event.sequence, utf8(wide(a[2])));
        } else if (function == "RegUnLoadKeyW") {
            const std::wstring name = lower(wide(a[1]));
            const std::string file = mounts.count(name) != 0 ? mounts[name] : "";
            if (ok) {
                mounts.erase(name);
            }
            item("unmount", "hive", b.target, "", ok, status, event.sequence, file);
        } else if (function == "DeleteFileW") {
            item("delete", "file", b.target, "", r != FALSE,
                 r != FALSE ? "0 ERROR_SUCCESS" : win32Status(call.lastError), event.sequence);
        } else if (function == "OpenProcessToken") {
            if (r != FALSE) {
                event.out = "token " + hex(*reinterpret_cast<const DWORD*>(a[2]));
                ++tokenCount.opened;
            }
        } else if (function == "CloseHandle") {
            ++tokenCount.closed;
        } else if (function == "AdjustTokenPrivileges") {
            event.result = (r != FALSE ? "TRUE" : "FALSE") + std::string(", last error ") + win32Status(call.lastError);
        } else if (function == "LookupPrivilegeValueW") {
            if (r != FALSE) {
                const auto* luid = reinterpret_cast<const LUID*>(a[2]);
                event.out = "LUID " + std::to_string(luid->LowPart);
            }
        } else if (function == "GetUserNameW") {
            if (r != FALSE) {
                event.out = quoted(reinterpret_cast<const wchar_t*>(a[0]));
            }
        } else if (function == "SHGetFolderPathW") {
            event.result = hresult(r);
            if (r == S_OK) {
                event.out = quoted(reinterpret_cast<const wchar_t*>(a[4]));
            }
        } else if (function == "StringFromGUID2") {
            event.result = std::to_string(r);
            if (r != 0) {
                event.out = quoted(reinterpret_cast<const wchar_t*>(a[1]));
            }
        } else if (function == "GetDateFormatW") {
            event.result = r != 0 ? std::to_string(r) : "0, last error " + win32Status(call.lastError);
            if (r != 0) {
                event.out = quoted(reinterpret_cast<const wchar_t*>(a[4]));
            }
        } else if (function == "GetSystemTime") {
            const auto* time = reinterpret_cast<const SYSTEMTIME*>(a[0]);
            char text[64];
            std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u UTC", time->wYear, time->wMonth,
                          time->wDay, time->wHour, time->wMinute, time->wSecond, time->wMilliseconds);
            event.out = text;
        } else if (function == "FindFirstFileW" || function == "FindNextFileW") {
            const bool found =
                function == "FindFirstFileW" ? r != reinterpret_cast<DWORD>(INVALID_HANDLE_VALUE) : r != FALSE;
            if (function == "FindFirstFileW") {
                event.result =
                    found ? "search " + hex(r) : "INVALID_HANDLE_VALUE, last error " + win32Status(call.lastError);
                if (found) {
                    finds[reinterpret_cast<HANDLE>(r)] = hex(r);
                    ++findCount.opened;
                }
            }
            if (found) {
                const auto* data = reinterpret_cast<const WIN32_FIND_DATAW*>(a[1]);
                event.out = quoted(data->cFileName) +
                            ((data->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? ", folder" : ", file");
            }
        } else if (function == "FindClose") {
            finds.erase(reinterpret_cast<HANDLE>(a[0]));
            ++findCount.closed;
        } else if (function == "GetModuleHandleW" || function == "GetProcAddress") {
            event.result = r != 0 ? hex(r) : "NULL, last error " + win32Status(call.lastError);
            if (function == "GetModuleHandleW" && r != 0) {
                event.out = moduleName(reinterpret_cast<HMODULE>(r));
            }
        } else if (!isRegistryStatus(function) && !isNtStatus(function) && !isBool(function)) {
            event.result = function == "GetSystemTime" ? "" : hex(r);
        }
        if (call.failed) {
            event.out += event.out.empty() ? "(made to fail)" : " (made to fail)";
        }
        if (onEvent) {
            onEvent(event);
        }
    }
};

CallTrace::CallTrace(ImportRecorder& recorder, std::function<void(const Event&)> onEvent)
    : state_(std::make_unique<State>(recorder, std::move(onEvent))) {
    State* state = state_.get();
    recorder.observe([state](std::size_t position, const std::string& function, const DWORD* arguments) {
        state->beforeCall(position, function, arguments);
    });
    recorder.observeReturns([state](const RecordedCall& call) { state->afterCall(call); });
}

CallTrace::~CallTrace() {
    state_->recorder.observe(nullptr);
    state_->recorder.observeReturns(nullptr);
}

Summary CallTrace::summary() const {
    const State& s = *state_;
    Summary summary;
    summary.calls = s.calls;
    summary.runtime = s.runtime;
    summary.items = s.items;
    summary.keys = s.keyCount;
    summary.searches = s.findCount;
    summary.tokens = s.tokenCount;
    for (HKEY key : s.recorder.openKeyHandles()) {
        summary.keys.leftOpen.push_back(s.label(key));
    }
    for (HANDLE find : s.recorder.openFindHandles()) {
        const auto named = s.finds.find(find);
        summary.searches.leftOpen.push_back(named != s.finds.end() ? named->second
                                                                   : hex(reinterpret_cast<DWORD>(find)));
    }
    for (HANDLE token : s.recorder.openTokenHandles()) {
        summary.tokens.leftOpen.push_back("token " + hex(reinterpret_cast<DWORD>(token)));
    }
    summary.strayCloses = s.recorder.strayCloses();
    summary.mountFree = !machine::hiveLoaded(kMountName);
    summary.restorePrivilegeEnabled = machine::privilegeEnabled(L"SeRestorePrivilege");
    return summary;
}

}  // namespace trace
