#pragma once

// What a real machine throws at the hooks, and how the hostile tests read and
// mend the machine around a hook without being fooled by it themselves (the
// registry is read with machine::dumpTree, names shortened): folders are
// listed with a hash of every file, never through a reparse point, and keys
// are removed through handles, each opened as itself, so that a registry link
// is deleted as the link and never as its target.

#include <windows.h>

#include <string>
#include <vector>

#include "support/registry_link.h"

namespace hostile {

// One line per entry below a folder (recursively, unless told otherwise;
// never into a reparse point): relative path, attributes, and for files the
// size and a hash of the content, except for the full paths in `skipContent`
// (whose content is checked another way).
std::vector<std::wstring> listFolder(const std::wstring& folder, const std::vector<std::wstring>& skipContent = {},
                                     bool recursive = true);

// Registry links (support/registry_link.h): Windows and Wine keep links in
// the user's hive file, so each one made here is removed with removeKeyTree.
using testing_support::createLink;
using testing_support::linkExists;

// Removes root\path and everything below it without following any link
// (links are deleted as themselves) and through handles only, so it works on
// subtrees of any depth. True when the key is gone afterwards.
bool removeKeyTree(HKEY root, const std::wstring& path, REGSAM view = 0);

// Denies KEY_READ on root\path to everyone (the owner keeps the right to
// change the key's security), and gives everyone full access back.
bool denyRead(HKEY root, const std::wstring& path, REGSAM view);
bool allowAll(HKEY root, const std::wstring& path, REGSAM view);

}  // namespace hostile
