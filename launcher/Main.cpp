#include <windows.h>
#include <commctrl.h>

#include "launcher/LauncherWindow.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    // Positions and sizes are physical pixels; the system must not stretch the window.
    SetProcessDPIAware();
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    if (!RegisterLauncherClass(instance)) {
        DeleteLauncherGdiObjects();
        return 1;
    }
    HWND window = CreateLauncherWindow(instance);
    if (!window) {
        DeleteLauncherGdiObjects();
        return 1;
    }
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    DeleteLauncherGdiObjects();
    return static_cast<int>(message.wParam);
}
