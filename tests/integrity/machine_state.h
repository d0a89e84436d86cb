#pragma once

// The state of the machine that any hook can reach, as sorted lines that can
// be compared before and after a hook, and the changes a hook is expected to
// make to it, written out one by one.
//
// Lines:
//   "K <key>"                     a registry key
//   "V <key> : <name> = <data>"   a value, its data as machine::describe gives it
//   "D <folder>"                  a folder
//   "F <file> (<n> bytes)"        a file; a hive file shows "(hive)" instead
//                                 of its size, since its content has lines of
//                                 its own below "HIVE(<file>)"
// Keys are named from their root as "HKLM64\...", "HKLM32\..." (the two
// registry views of HKEY_LOCAL_MACHINE), "HKU\<hive>\..." and
// "HIVE(<file>)\..." (a hive file's content, read by mounting it for a
// moment under a name of the test's own).

#include <string>
#include <vector>

namespace integrity {

using Lines = std::vector<std::wstring>;

// What the snapshot covers:
// - HKLM\Software in both views, whole, except for "Software\Classes", where
//   only the list of class keys below "CLSID" and the full subtrees of the
//   Recycle Bin's class key and of the product's and its neighbour's class
//   keys are read: the classes tree holds more than 14,000 keys under Wine,
//   and no hook touches anything else in it. Registry links are read as the
//   link itself, never followed.
// - HKEY_USERS: the name of every loaded hive, and in each hive the names of
//   the keys below "Software", the maker's key "Software\Korvan" and the Run
//   key with everything below them.
// - The profiles directory: its entries, every other profile folder with all
//   it holds and the content of its NTUSER.DAT; of the calling account's own
//   folder (whose Desktop, Documents and other folders lead out of the
//   prefix) its entries and its Send To folder.
// - The Program Files folder: its entries, and "KorvanNet" with all it holds.
// With Reach::Footprint, HKLM\Software is read only below "Software\Korvan"
// (and in the classes as above); the rest is the same.
enum class Reach { Whole, Footprint };
Lines snapshot(Reach reach = Reach::Whole);

// The lines one hook changed: what went (in `before` only) and what came (in
// `after` only), each sorted.
struct Diff {
    Lines removed;
    Lines added;
};
Diff diff(const Lines& before, const Lines& after);

// The path a line is about: the key, folder or file, without what follows it.
std::wstring linePath(const std::wstring& line);

// One expected change, applied to the lines of a snapshot taken before the
// hook. Each must match something in that snapshot (a change that finds
// nothing to apply to is a fault of the test, and reported).
struct Change {
    enum class Kind {
        RemoveTree,   // the key or folder `path` with every line below it
        RemoveValue,  // the value `name` of key `path`
        RemoveFile,   // the file `path`
        MoveTree,     // the key `path` with everything below it, to `to`
        AddLine,      // the line `path`, which was not there before
    };
    Kind kind;
    std::wstring path;
    std::wstring name;
    std::wstring to;
};
Change removeTree(const std::wstring& path);
Change removeValue(const std::wstring& key, const std::wstring& name);
Change removeFile(const std::wstring& path);
Change moveTree(const std::wstring& from, const std::wstring& to);
Change addLine(const std::wstring& line);

// The diff that the changes make to `before`, and a description of every
// change that did not apply.
struct Expected {
    Diff diff;
    std::vector<std::wstring> unmatched;
};
Expected expectedDiff(const Lines& before, const std::vector<Change>& changes);

// Lines as text for a test's failure message.
std::string describeLines(const Lines& lines, std::size_t limit = 40);

}  // namespace integrity
