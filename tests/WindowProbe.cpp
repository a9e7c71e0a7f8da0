#include <windows.h>
#include <commctrl.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/TextEncoding.h"

// Looks at the launcher's window from outside, as a player sees it.
//   window_probe watch SECONDS   prints "percent|play enabled|status" whenever it changes, until the
//                                window closes or the time is up (exit 1 when no window appeared)
//   window_probe layout          prints the window and each control: class|text|left,top,right,bottom|id
//   window_probe send MESSAGE W  sends a message with wParam W and a null lParam to the window
//   window_probe click | close   presses the play button | closes every launcher window

namespace {

std::vector<HWND> controls;

std::string Text(HWND window) {
    wchar_t text[1024] = {};
    DWORD_PTR result = 0;  // a hung window cannot block us forever
    SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000, &result);
    return WideToUtf8(text);
}

std::string ReadState() {
    DWORD_PTR percent = 0;
    SendMessageTimeoutW(controls[3], PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 2000, &percent);
    return std::to_string(percent) + (IsWindowEnabled(controls[4]) ? "|enabled|" : "|disabled|") + Text(controls[2]);
}

// Text, bar and button are read one after another while the window changes: only a state read the
// same twice in a row counts, so no line mixes two moments.
std::string State() {
    std::string state = ReadState();
    for (std::string again; (again = ReadState()) != state;) {
        state = again;
    }
    return state;
}

std::string Describe(HWND window, const RECT& r) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return WideToUtf8(name) + "|" + Text(window) + "|" + std::to_string(r.left) + "," + std::to_string(r.top) + "," +
           std::to_string(r.right) + "," + std::to_string(r.bottom) + "|" + std::to_string(GetDlgCtrlID(window)) + "\n";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    std::wstring command = argc > 1 ? argv[1] : L"";
    DWORD seconds = command == L"watch" && argc > 2 ? static_cast<DWORD>(_wtoi(argv[2])) : 30;
    HWND window = nullptr;
    // The class is findable while the window is still making its controls: wait for all five.
    for (DWORD waited = 0; controls.size() != 5 && waited <= seconds * 1000; waited += 20, Sleep(20)) {
        controls.clear();
        window = FindWindowW(L"OrvaneLauncherWindow", nullptr);
        for (HWND child = window ? GetWindow(window, GW_CHILD) : nullptr; child; child = GetWindow(child, GW_HWNDNEXT)) {
            controls.push_back(child);
        }
    }
    if (controls.size() != 5) {
        std::fputs("no launcher window\n", stdout);
        return 1;
    }
    DWORD_PTR result = 0;
    if (command == L"click" || command == L"send") {
        HWND target = command == L"click" ? controls[4] : window;
        UINT message = command == L"click" ? BM_CLICK : static_cast<UINT>(_wtoi(argv[2]));
        WPARAM wParam = command == L"click" ? 0 : static_cast<WPARAM>(_wtoi(argv[3]));
        return SendMessageTimeoutW(target, message, wParam, 0, SMTO_ABORTIFHUNG, 10000, &result) ? 0 : 1;
    }
    if (command == L"close") {  // every launcher window there is
        for (; window; window = FindWindowExW(nullptr, window, L"OrvaneLauncherWindow", nullptr)) {
            PostMessageW(window, WM_CLOSE, 0, 0);
        }
        return 0;
    }
    if (command == L"layout") {
        RECT r{};
        GetWindowRect(window, &r);
        std::string text = Describe(window, RECT{0, 0, r.right - r.left, r.bottom - r.top});
        for (HWND control : controls) {
            GetWindowRect(control, &r);
            MapWindowPoints(HWND_DESKTOP, window, reinterpret_cast<POINT*>(&r), 2);
            text += Describe(control, r);
        }
        std::fputs((text + std::to_string(GetWindowLongW(window, GWL_STYLE)) + "\n").c_str(), stdout);
        return 0;
    }
    std::string last;
    for (DWORD waited = 0; waited <= seconds * 1000 && IsWindow(window); waited += 10, Sleep(10)) {
        std::string state = State();
        if (state != last) {
            std::fputs((state + "\n").c_str(), stdout);
            std::fflush(stdout);
            last = state;
        }
    }
    return 0;
}
