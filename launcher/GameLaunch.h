#pragma once
#include <string>

// Folder of the launcher exe without a trailing separator; empty when it cannot be determined.
std::wstring GetLauncherFolder();
// The quoted game path, the game server with port 7777 and the account-service override.
std::wstring GameCommandLine(const std::wstring& gameExePath);
// Starts Orvane.exe beside the launcher without waiting for it; on failure fills errorText for the player.
bool LaunchGame(std::wstring& errorText);
// The system's text for a Windows error code, line break included; a fixed text when there is none.
std::wstring WindowsErrorText(unsigned long errorCode);
