#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

constexpr UINT WM_UPDATE_RESULT = WM_APP + 1;
constexpr UINT WM_UPDATE_PROGRESS = WM_APP + 2;
constexpr int IDC_PLAY = 1001;

// Heap records posted by the worker; a successful post hands them to the window, which deletes them.
struct ResultPayload {
    std::wstring text;
    bool canPlay = false;
};

struct ProgressPayload {
    std::wstring text;
    uint32_t percent = 0;
};

// Creates the brush and fonts and registers "OrvaneLauncherWindow"; false when registration fails.
bool RegisterLauncherClass(HINSTANCE instance);
// The fixed-size main window; creating it creates the controls and starts the update worker.
HWND CreateLauncherWindow(HINSTANCE instance);
// Releases the fonts and the brush once the message loop has ended.
void DeleteLauncherGdiObjects();
LRESULT CALLBACK LauncherWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
