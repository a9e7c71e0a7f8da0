#pragma once
#include <string>

// First line of launcher-version.txt as stored (a carriage return stays); "0.0.1" when unreadable or empty.
std::wstring ReadInstalledVersion(const std::wstring& installFolder);
// Writes the version and a line feed to a temporary file, flushes it and moves it over launcher-version.txt.
bool WriteInstalledVersion(const std::wstring& installFolder, const std::wstring& version);

// An update in progress, recorded in launcher-update-pending.txt from its first change to the
// installation until the version file names what it installed: while the record is there the folder
// may hold files of two versions, whatever launcher-version.txt says.
struct PendingUpdate {
    std::wstring installFolder;
    std::wstring version;     // the version being installed, the record's one line
    bool recorded = false;    // tried already in this session
};
// True unless the folder certainly holds no record (a record that cannot be examined counts as there).
bool IsUpdatePending(const std::wstring& installFolder);
// Writes the record once a session, whole or not at all; a failure is logged and the update goes on.
void RecordPendingUpdate(PendingUpdate& pending);
// Removes the record; one left behind costs the next session a check of every file, nothing more.
void ClearPendingUpdate(const std::wstring& installFolder);
