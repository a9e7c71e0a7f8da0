#include <windows.h>
#include <commctrl.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/TextEncoding.h"

// Looks at the launcher's window from outside, as a player would see it.
//   window_probe watch SECONDS   prints "percent|enabled|status" each time it changes, until the window
//                                closes or the time is up (exit 1 when it never appeared)
//   window_probe click           presses the play button
//   window_probe close           closes the window

namespace {

struct Controls {
    HWND status = nullptr;
    HWND progress = nullptr;
    HWND play = nullptr;
};

Controls FindControls(HWND window) {
    std::vector<HWND> children;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        children.push_back(child);
    }
    Controls controls;
    if (children.size() == 5) {
        controls.status = children[2];
        controls.progress = children[3];
        controls.play = children[4];
    }
    return controls;
}

std::string ReadState(const Controls& controls) {
    wchar_t text[1024] = {};
    // WM_GETTEXT across processes is marshalled by the system; a hung window cannot block us forever.
    DWORD_PTR result = 0;
    SendMessageTimeoutW(controls.status, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000,
                        &result);
    DWORD_PTR percent = 0;
    SendMessageTimeoutW(controls.progress, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 2000, &percent);
    return std::to_string(percent) + "|" + (IsWindowEnabled(controls.play) ? "enabled" : "disabled") + "|" +
           WideToUtf8(text);
}

// The class is findable while WM_CREATE is still making the controls; wait until all five exist.
// Text, bar and button are read one after another while the window changes; only a state read the
// same twice in a row is reported, so no line mixes the texts of two moments.
std::string State(const Controls& controls) {
    std::string state = ReadState(controls);
    for (int i = 0; i < 100; ++i) {
        std::string again = ReadState(controls);
        if (again == state) {
            break;
        }
        state = again;
    }
    return state;
}

HWND WaitForWindow(DWORD milliseconds, Controls& controls) {
    for (DWORD waited = 0; waited <= milliseconds; waited += 20) {
        HWND window = FindWindowW(L"OrvaneLauncherWindow", nullptr);
        if (window) {
            controls = FindControls(window);
            if (controls.play) {
                return window;
            }
        }
        Sleep(20);
    }
    return nullptr;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    std::wstring command = argc > 1 ? argv[1] : L"";
    DWORD seconds = argc > 2 ? static_cast<DWORD>(_wtoi(argv[2])) : 30;
    Controls controls;
    HWND window = WaitForWindow(seconds * 1000, controls);
    if (!window) {
        std::fputs("no launcher window\n", stdout);
        return 1;
    }
    if (command == L"click") {
        DWORD_PTR result = 0;
        return SendMessageTimeoutW(controls.play, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 10000, &result) ? 0 : 1;
    }
    if (command == L"close") {
        return PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 1;
    }
    std::string last;
    for (DWORD waited = 0; waited <= seconds * 1000 && IsWindow(window); waited += 10) {
        std::string state = State(controls);
        if (state != last) {
            std::fputs((state + "\n").c_str(), stdout);
            std::fflush(stdout);
            last = state;
        }
        Sleep(10);
    }
    return 0;
}
