#pragma once
#include <string>

// Points the log at launcher-update.log in the folder and empties it; failures are silent.
void StartLog(const std::wstring& installFolder);
// Appends the line and a line feed; dropped before StartLog or when the file cannot be opened.
void AppendLogLine(const std::wstring& line);
