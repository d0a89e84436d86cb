#pragma once

// What each operation of the hooks changes on the sample machine, change by
// change, in the terms of the machine's snapshot.

#include <string>
#include <vector>

#include "integrity/machine_state.h"

namespace integrity {

// Where the sample machine's items are, as this process sees them.
struct Places {
    std::wstring programFiles;     // CSIDL_PROGRAM_FILES
    std::wstring sendTo;           // CSIDL_SENDTO of the calling account
    std::wstring profiles;         // the folder holding the profile folders
    std::wstring currentUserHive;  // the calling account's hive below HKEY_USERS
};
const Places& places();

// The sample machine's other logged-on user, and its offline profiles.
inline const wchar_t kOtherUserHive[] = L"S-1-5-21-1111-2222-3333-1001";
inline const wchar_t kOtherUserClassesHive[] = L"S-1-5-21-1111-2222-3333-1001_Classes";
inline const wchar_t* const kOfflineProfiles[] = {L"Alice", L"Bob"};

std::wstring offlineHiveFile(const std::wstring& profile);

// The install date stamp: the old "gmt" and "date" of the 64-bit view
// replaced by the given lines.
std::vector<Change> stampChanges(const std::wstring& gmtLine, const std::wstring& dateLine);
std::vector<Change> obsoleteDataFileChanges();
std::vector<Change> obsoleteSettingsChanges();
std::vector<Change> taskMigrationChanges();
std::vector<Change> shellIntegrationChanges();
// The current user's Run value and settings, and the other user's settings.
std::vector<Change> loadedHivesChanges();
// One offline profile's Run value and settings, as its hive file holds them
// once the unmount has written the hive back.
std::vector<Change> offlineProfileChanges(const std::wstring& profile);

std::vector<Change> joined(const std::vector<std::vector<Change>>& parts);

}  // namespace integrity
