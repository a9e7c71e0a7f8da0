#include <windows.h>
#include <commctrl.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "support/TextEncoding.h"

// Looks at the launcher's window from outside, as a player sees it.
//   window_probe watch SECONDS   prints "percent|play enabled|status" whenever it changes, until the
//                                window closes or the time is up (exit 1 when no window appeared)
//   window_probe layout          prints the window's style, then "title|0,0,width,height", then each
//                                control: class|text|left,top,right,bottom (in the window's client area)
//   window_probe send MESSAGE W  sends a message with wParam W and a null lParam to the window
//   window_probe click | close   presses the play button | closes every launcher window

// What the window answered, or -1 when it did not: a hung window cannot block us forever.
static LRESULT Send(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 5000, &result) ? result : -1;
}

// Of another process's window: the text it last set, read without a message.
static std::string Text(HWND window) {
    wchar_t text[1024] = {};
    return WideToUtf8(std::wstring(text, GetWindowTextW(window, text, 1024)));
}

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    std::wstring command = argc > 1 ? argv[1] : L"";
    DWORD seconds = command == L"watch" && argc > 2 ? _wtoi(argv[2]) : 30;
    HWND window = nullptr, button = nullptr;
    // The class is findable while the window is still making its controls; the button comes last.
    for (DWORD waited = 0; !button && waited <= seconds * 1000; waited += 20, Sleep(20)) {
        window = FindWindowW(L"OrvaneLauncherWindow", nullptr);
        button = window ? FindWindowExW(window, nullptr, L"Button", nullptr) : nullptr;
    }
    if (!button) {
        std::fputs("no launcher window\n", stderr);
        return 1;
    }
    if (command == L"close") {  // every launcher window there is
        for (; window; window = FindWindowExW(nullptr, window, L"OrvaneLauncherWindow", nullptr)) {
            PostMessageW(window, WM_CLOSE, 0, 0);
        }
        return 0;
    }
    if (command == L"click" || command == L"send") {
        return (command == L"click" ? Send(button, BM_CLICK) : Send(window, _wtoi(argv[2]), _wtoi(argv[3]))) == -1;
    }
    if (command == L"layout") {
        RECT r{};
        GetWindowRect(window, &r);
        std::printf("%ld\n%s|0,0,%ld,%ld\n", GetWindowLongW(window, GWL_STYLE), Text(window).c_str(), r.right - r.left,
                    r.bottom - r.top);
        for (HWND control = GetWindow(window, GW_CHILD); control; control = GetWindow(control, GW_HWNDNEXT)) {
            wchar_t name[64] = {};
            GetClassNameW(control, name, 64);
            GetWindowRect(control, &r);
            MapWindowPoints(HWND_DESKTOP, window, reinterpret_cast<POINT*>(&r), 2);
            std::printf("%ls|%s|%ld,%ld,%ld,%ld\n", name, Text(control).c_str(), r.left, r.top, r.right, r.bottom);
        }
        return 0;
    }
    // The controls in the order the window makes them: ..., the status line, the bar, the button. They are
    // read one after another while the window changes: only a state read the same twice in a row counts,
    // so no line mixes two moments.
    HWND bar = GetWindow(button, GW_HWNDPREV);
    ULONGLONG end = GetTickCount64() + seconds * 1000;
    for (std::string printed, previous, state; GetTickCount64() <= end && IsWindow(window); previous = state) {
        state = std::to_string(Send(bar, PBM_GETPOS)) + (IsWindowEnabled(button) ? "|enabled|" : "|disabled|") +
                Text(GetWindow(bar, GW_HWNDPREV));
        if (state == previous && state != printed) {
            std::printf("%s\n", state.c_str());
            std::fflush(stdout);
            printed = state;
        }
        Sleep(state == previous ? 10 : 0);  // while it changes, read again at once
    }
    return 0;
}
