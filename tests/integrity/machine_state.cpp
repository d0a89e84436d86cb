#include "integrity/machine_state.h"

#include <windows.h>

#include <shlobj.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "machine/hives.h"
#include "machine/machine.h"

namespace integrity {
namespace {

const wchar_t kRecycleBin[] = L"{645FF040-5081-101B-9F08-00AA002F954E}";
const wchar_t* const kReadClasses[] = {
    kRecycleBin,
    L"{5e3b9a17-c2d4-4f81-b6a0-93d7e1f2c845}",  // the product's shell extension
    L"{5e3b9a17-c2d4-4f81-b6a0-93d7e1f2c846}",  // its neighbour
};

bool sameName(const std::wstring& a, const std::wstring& b) { return lstrcmpiW(a.c_str(), b.c_str()) == 0; }

std::vector<std::wstring> sortedSubkeys(HKEY root, const std::wstring& path, REGSAM view) {
    std::vector<std::wstring> names = machine::subkeyNames(root, path, view);
    std::sort(names.begin(), names.end());
    return names;
}

// root\path with everything below it, when it exists, its lines named from
// `label`.
void addTreeAt(HKEY root, const std::wstring& path, REGSAM view, const std::wstring& label, Lines& lines,
               std::vector<std::wstring> skip = {}) {
    machine::DumpOptions options;
    options.skip = std::move(skip);
    options.label = label;
    options.tagged = true;
    const Lines tree = machine::dumpTree(root, path, view, options);
    lines.insert(lines.end(), tree.begin(), tree.end());
}

void addMachineSoftware(Reach reach, REGSAM view, const std::wstring& rootLabel, Lines& lines) {
    const std::wstring software = rootLabel + L"\\Software";
    if (reach == Reach::Whole) {
        // The 64-bit view's "Wow6432Node" is the 32-bit view, read on its own.
        addTreeAt(HKEY_LOCAL_MACHINE, L"Software", view, software, lines, {L"Classes", L"Wow6432Node"});
    } else {
        addTreeAt(HKEY_LOCAL_MACHINE, L"Software\\Korvan", view, software + L"\\Korvan", lines);
    }

    const std::wstring classRoot = L"Software\\Classes\\CLSID";
    if (!machine::keyExists(HKEY_LOCAL_MACHINE, classRoot, view)) {
        return;
    }
    const std::wstring label = rootLabel + L"\\" + classRoot;
    lines.push_back(L"K " + label);
    for (const std::wstring& child : sortedSubkeys(HKEY_LOCAL_MACHINE, classRoot, view)) {
        const bool read = std::any_of(std::begin(kReadClasses), std::end(kReadClasses),
                                      [&](const wchar_t* name) { return sameName(name, child); });
        if (read) {
            addTreeAt(HKEY_LOCAL_MACHINE, classRoot + L"\\" + child, view, label + L"\\" + child, lines);
        } else {
            lines.push_back(L"K " + label + L"\\" + child);
        }
    }
}

void addUsers(Lines& lines) {
    for (const std::wstring& hive : sortedSubkeys(HKEY_USERS, L"", 0)) {
        const std::wstring label = L"HKU\\" + hive;
        lines.push_back(L"K " + label);
        const std::wstring software = hive + L"\\Software";
        if (machine::keyExists(HKEY_USERS, software)) {
            lines.push_back(L"K " + label + L"\\Software");
            for (const std::wstring& child : sortedSubkeys(HKEY_USERS, software, 0)) {
                if (!sameName(child, L"Korvan")) {
                    lines.push_back(L"K " + label + L"\\Software\\" + child);
                }
            }
            addTreeAt(HKEY_USERS, software + L"\\Korvan", 0, label + L"\\Software\\Korvan", lines);
        }
        const std::wstring run = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
        addTreeAt(HKEY_USERS, hive + L"\\" + run, 0, label + L"\\" + run, lines);
    }
}

bool isHiveFile(const std::wstring& name) { return sameName(name, L"NTUSER.DAT"); }

void addHiveContent(const std::wstring& file, Lines& lines) {
    machine::DumpOptions options;
    options.label = L"HIVE(" + file + L")";
    options.tagged = true;
    const Lines content = machine::dumpHiveFile(file, options);
    if (content.empty()) {
        lines.push_back(L"K " + options.label + L" <cannot be mounted>");
    }
    lines.insert(lines.end(), content.begin(), content.end());
}

// The entries of a folder; with `deep`, everything below it too, and the
// content of the hive files in it.
void addFolder(const std::wstring& folder, bool deep, Lines& lines) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    std::vector<std::wstring> folders;
    std::vector<std::wstring> hives;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const std::wstring path = folder + L"\\" + name;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            lines.push_back(L"D " + path);
            if (deep && (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
                folders.push_back(path);
            }
        } else if (isHiveFile(name)) {
            lines.push_back(L"F " + path + L" (hive)");
            if (deep) {
                hives.push_back(path);
            }
        } else {
            const ULONGLONG size = (static_cast<ULONGLONG>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
            lines.push_back(L"F " + path + L" (" + std::to_wstring(size) + L" bytes)");
        }
    } while (FindNextFileW(find, &entry) != FALSE);
    FindClose(find);
    for (const std::wstring& sub : folders) {
        addFolder(sub, true, lines);
    }
    for (const std::wstring& hive : hives) {
        addHiveContent(hive, lines);
    }
}

void addProfiles(Lines& lines) {
    const std::wstring own = machine::shellFolder(CSIDL_PROFILE);
    const std::wstring profiles = own.substr(0, own.rfind(L'\\'));
    Lines top;
    addFolder(profiles, false, top);
    lines.insert(lines.end(), top.begin(), top.end());
    for (const std::wstring& line : top) {
        if (line.rfind(L"D ", 0) != 0) {
            continue;
        }
        const std::wstring folder = line.substr(2);
        if (sameName(folder, own)) {
            addFolder(folder, false, lines);
        } else {
            addFolder(folder, true, lines);
        }
    }
    addFolder(machine::shellFolder(CSIDL_SENDTO), false, lines);
}

void addProgramFiles(Lines& lines) {
    const std::wstring programFiles = machine::shellFolder(CSIDL_PROGRAM_FILES);
    addFolder(programFiles, false, lines);
    addFolder(programFiles + L"\\KorvanNet", true, lines);
}

bool underPath(const std::wstring& line, const std::wstring& path) {
    const std::wstring of = linePath(line);
    return of == path || (of.size() > path.size() && of.compare(0, path.size(), path) == 0 && of[path.size()] == L'\\');
}

}  // namespace

Lines snapshot(Reach reach) {
    Lines lines;
    lines.reserve(8192);
    addMachineSoftware(reach, machine::kView64, L"HKLM64", lines);
    addMachineSoftware(reach, machine::kView32, L"HKLM32", lines);
    addUsers(lines);
    addProfiles(lines);
    addProgramFiles(lines);
    std::sort(lines.begin(), lines.end());
    return lines;
}

Diff diff(const Lines& before, const Lines& after) {
    Lines sortedBefore = before;
    Lines sortedAfter = after;
    std::sort(sortedBefore.begin(), sortedBefore.end());
    std::sort(sortedAfter.begin(), sortedAfter.end());
    Diff result;
    std::set_difference(sortedBefore.begin(), sortedBefore.end(), sortedAfter.begin(), sortedAfter.end(),
                        std::back_inserter(result.removed));
    std::set_difference(sortedAfter.begin(), sortedAfter.end(), sortedBefore.begin(), sortedBefore.end(),
                        std::back_inserter(result.added));
    return result;
}

std::wstring linePath(const std::wstring& line) {
    if (line.size() < 2) {
        return line;
    }
    const std::wstring rest = line.substr(2);
    switch (line[0]) {
        case L'V':
            return rest.substr(0, rest.find(L" : "));
        case L'F':
            return rest.substr(0, rest.rfind(L" ("));
        default:
            return rest;
    }
}

Change removeTree(const std::wstring& path) { return {Change::Kind::RemoveTree, path, L"", L""}; }
Change removeValue(const std::wstring& key, const std::wstring& name) {
    return {Change::Kind::RemoveValue, key, name, L""};
}
Change removeFile(const std::wstring& path) { return {Change::Kind::RemoveFile, path, L"", L""}; }
Change moveTree(const std::wstring& from, const std::wstring& to) { return {Change::Kind::MoveTree, from, L"", to}; }
Change addLine(const std::wstring& line) { return {Change::Kind::AddLine, line, L"", L""}; }

Expected expectedDiff(const Lines& before, const std::vector<Change>& changes) {
    Expected expected;
    std::set<std::wstring> removed;
    std::set<std::wstring> added;
    const std::set<std::wstring> present(before.begin(), before.end());
    for (const Change& change : changes) {
        std::size_t matched = 0;
        switch (change.kind) {
            case Change::Kind::RemoveTree:
            case Change::Kind::MoveTree:
                for (const std::wstring& line : before) {
                    if (underPath(line, change.path)) {
                        removed.insert(line);
                        ++matched;
                        if (change.kind == Change::Kind::MoveTree) {
                            const std::size_t at = line.find(change.path);
                            added.insert(line.substr(0, at) + change.to + line.substr(at + change.path.size()));
                        }
                    }
                }
                break;
            case Change::Kind::RemoveValue: {
                const std::wstring prefix = L"V " + change.path + L" : " + change.name + L" = ";
                for (const std::wstring& line : before) {
                    if (line.rfind(prefix, 0) == 0) {
                        removed.insert(line);
                        ++matched;
                    }
                }
                break;
            }
            case Change::Kind::RemoveFile:
                for (const std::wstring& line : before) {
                    if (line.rfind(L"F ", 0) == 0 && linePath(line) == change.path) {
                        removed.insert(line);
                        ++matched;
                    }
                }
                break;
            case Change::Kind::AddLine:
                if (present.count(change.path) == 0) {
                    added.insert(change.path);
                    ++matched;
                }
                break;
        }
        if (matched == 0) {
            expected.unmatched.push_back(change.path + (change.name.empty() ? L"" : L" : " + change.name));
        }
    }
    expected.diff.removed.assign(removed.begin(), removed.end());
    expected.diff.added.assign(added.begin(), added.end());
    return expected;
}

std::string describeLines(const Lines& lines, std::size_t limit) {
    std::ostringstream text;
    for (std::size_t i = 0; i < lines.size() && i < limit; ++i) {
        text << "    " << machine::narrow(lines[i]) << "\n";
    }
    if (lines.size() > limit) {
        text << "    ... and " << lines.size() - limit << " more\n";
    }
    return text.str();
}

}  // namespace integrity
