#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <string>

#include "support/TextEncoding.h"

// Looks at the launcher's window from outside, as a player sees it. Lines end in CR LF.
//   window_probe watch SECONDS          prints "percent|play enabled|status" whenever it changes, until the
//                                       window closes or the time is up
//   window_probe layout                 prints "title|frame style (hex)|0,0,width,height", then each control:
//                                       class|text|left,top,right,bottom (in the window's client area)
//   window_probe post MESSAGE W [button]  posts a message with wParam W and a null lParam to every launcher
//                                       window there is, or to its play button (post 245 0 button: a press;
//                                       post 16 0: what a close box sends)
// Each first waits for a launcher window, 30 seconds unless it is watch, and exits 1 when none appeared.

// Of another process's window: the text it last set, read without a message, or its class name.
static std::string Text(HWND window, int(WINAPI* get)(HWND, LPWSTR, int) = GetWindowTextW) {
    wchar_t text[1024] = {};
    return WideToUtf8(std::wstring(text, get(window, text, 1024)));
}

int wmain(int argc, wchar_t** argv) {
    std::wstring command = argc > 1 ? argv[1] : L"";
    ULONGLONG end = GetTickCount64() + 1000 * (command == L"watch" && argc > 2 ? _wtoi(argv[2]) : 30);
    HWND window = nullptr, button = nullptr;
    // The class is findable while the window is still making its controls; the button comes last.
    for (; !button && GetTickCount64() <= end; Sleep(20)) {
        window = FindWindowW(L"OrvaneLauncherWindow", nullptr);
        button = window ? FindWindowExW(window, nullptr, L"Button", nullptr) : nullptr;
    }
    if (!button) {
        return 1;  // no launcher window
    }
    if (command == L"post") {
        // The next window is found before this one is told: a window that closed cannot lead to the next.
        for (HWND next; window; window = next) {
            next = FindWindowExW(nullptr, window, L"OrvaneLauncherWindow", nullptr);
            HWND target = argc > 4 ? FindWindowExW(window, nullptr, L"Button", nullptr) : window;
            PostMessageW(target, _wtoi(argv[2]), _wtoi(argv[3]), 0);
        }
        return 0;
    }
    if (command == L"layout") {
        RECT r{};
        GetWindowRect(window, &r);
        std::printf("%s|%lx|0,0,%ld,%ld\n", Text(window).c_str(),
                    GetWindowLongW(window, GWL_STYLE) & WS_OVERLAPPEDWINDOW, r.right - r.left, r.bottom - r.top);
        for (HWND control = GetWindow(window, GW_CHILD); control; control = GetWindow(control, GW_HWNDNEXT)) {
            GetWindowRect(control, &r);
            MapWindowPoints(HWND_DESKTOP, window, reinterpret_cast<POINT*>(&r), 2);
            std::printf("%s|%s|%ld,%ld,%ld,%ld\n", Text(control, GetClassNameW).c_str(), Text(control).c_str(), r.left,
                        r.top, r.right, r.bottom);
        }
        return 0;
    }
    // The controls in the order the window makes them: ..., the status line, the bar, the button. They are
    // read one after another while the window changes: only a state read the same twice in a row counts,
    // so no line mixes two moments.
    HWND bar = GetWindow(button, GW_HWNDPREV);
    for (std::string printed, previous, state; GetTickCount64() <= end && IsWindow(window); previous = state) {
        DWORD_PTR percent = -1;  // unless the window answers within 5 seconds: a hung one cannot block us
        SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 5000, &percent);
        state = std::to_string(static_cast<int>(percent)) + (IsWindowEnabled(button) ? "|enabled|" : "|disabled|") +
                Text(GetWindow(bar, GW_HWNDPREV));
        if (state == previous && state != printed) {
            std::printf("%s\n", (printed = state).c_str());
            std::fflush(stdout);
        }
        Sleep(state == previous ? 10 : 0);  // while it changes, read again at once
    }
    return 0;
}
