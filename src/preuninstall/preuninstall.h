#pragma once

// The operations that DllPreUnInstall and DllZudaUnInstall run, in the order
// they run them.
namespace installhooks {

// Removes the product's shell integration, each item whatever became of the
// others, in this order: the Send To file of the calling account, the
// Recycle Bin context-menu handler key and the shell extension's class key
// (both below HKLM\SOFTWARE\Classes\CLSID, with their subtrees, default
// view). True exactly when both parent keys opened for writing; it says
// nothing about what existed or was deleted.
bool removeShellIntegration();

// Removes the product's settings key "ZTB" below "Software\Korvan" of the hive
// loaded at HKEY_USERS\<hiveName>, and the maker's key itself when that
// leaves it with no subkey and no value. True when "ZTB" was deleted.
bool purgeHiveSettings(const wchar_t* hiveName);

// Deletes the Run value "DelayShred" of the current user, then purges the
// settings of every user hive loaded below HKEY_USERS, except the classes
// hives ("_Classes") and the short well-known names.
void purgeLoadedHives();

// Purges the profile hive that the sweep has mounted at
// HKEY_USERS\"Korvan_Tmp_Reg": its Run value "DelayShred", then its settings.
bool purgeMountedHive();

// Mounts the NTUSER.DAT of `profileFolder` at HKEY_USERS\"Korvan_Tmp_Reg",
// enabling the restore privilege first (it stays enabled). True when mounted.
// When the hive file's path cannot be composed (out of memory) it is false
// and `*outOfMemory`, where given, is set.
bool loadProfileHive(const wchar_t* profileFolder, bool* outOfMemory = nullptr);

// Purges the loaded hives, then mounts, purges and unmounts the hive of every
// other profile in the folder that holds the calling account's own profile.
// False when that folder cannot be determined or walked.
bool sweepOfflineProfiles();

}  // namespace installhooks
