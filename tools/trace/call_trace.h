#pragma once

// A readable account of every call a module makes through an ImportRecorder:
// one event per call, with its arguments by name (a key as the full path it
// names, masks and flags by name, folders by CSIDL name, strings quoted) and
// its result with its name; and, once the module is done, what those calls
// did to the machine (the keys, values and files deleted, written and
// created, the hives mounted, and what failed), the keys, searches and tokens
// opened against those closed, and the state of the mount name and of the
// restore privilege.

#include <windows.h>

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "trace/import_recorder.h"

namespace trace {

struct Event {
    std::size_t sequence = 0;  // 1 for the first listed call
    std::string function;
    std::string arguments;  // as they read between the parentheses
    std::string result;     // "2 ERROR_FILE_NOT_FOUND"; empty for a void call
    std::string out;        // what the call handed back through its arguments
};

struct Item {
    std::string action;    // "delete", "write", "create", "mount", "unmount"
    std::string kind;      // "key", "value", "file", "tree" (a copied subtree), "hive"
    std::string path;      // the key (full path) or file
    std::string name;      // a value's name
    std::string hiveFile;  // for a key inside a hive that the module mounted: that hive's file
    std::string detail;    // a written value's type and data; a copy's source; a mount's file
    bool ok = false;
    std::string status;  // "0 ERROR_SUCCESS", "2 ERROR_FILE_NOT_FOUND"
    std::size_t sequence = 0;
};

struct HandleCount {
    std::size_t opened = 0;
    std::size_t closed = 0;
    std::vector<std::string> leftOpen;  // what each handle still open names
};

struct Summary {
    std::map<std::string, std::size_t> calls;    // listed calls, per function
    std::map<std::string, std::size_t> runtime;  // heap calls: counted, not listed
    std::vector<Item> items;
    HandleCount keys;
    HandleCount searches;
    HandleCount tokens;
    int strayCloses = 0;
    bool mountFree = false;
    bool restorePrivilegeEnabled = false;
};

// The mount name of the offline profile sweep.
inline constexpr wchar_t kMountName[] = L"Korvan_Tmp_Reg";

class CallTrace {
public:
    // Watches the recorder's calls from now on; `onEvent` receives each
    // listed call as it returns, before the module sees its result.
    CallTrace(ImportRecorder& recorder, std::function<void(const Event&)> onEvent);
    ~CallTrace();
    CallTrace(const CallTrace&) = delete;
    CallTrace& operator=(const CallTrace&) = delete;

    // What the calls so far did, and the state the module left.
    Summary summary() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace trace
