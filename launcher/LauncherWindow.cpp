#include "launcher/LauncherWindow.h"

#include <commctrl.h>

#include "launcher/GameLaunch.h"
#include "update/UpdateSession.h"

namespace {

constexpr wchar_t kWindowClass[] = L"OrvaneLauncherWindow";
constexpr COLORREF kBackgroundColor = RGB(17, 24, 20);
constexpr COLORREF kTextColor = RGB(235, 240, 236);
constexpr DWORD kChildStyle = WS_CHILD | WS_VISIBLE;

HBRUSH backgroundBrush = nullptr;
HFONT titleFont = nullptr;
HFONT bodyFont = nullptr;

// Only the window thread touches these.
HWND statusLabel = nullptr;
HWND progressBar = nullptr;
HWND playButton = nullptr;

HFONT CreateLauncherFont(int height, int weight) {
    return CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, 0, L"Segoe UI");
}

HWND CreateControl(HWND parent, const wchar_t* className, const wchar_t* text, DWORD style, int x, int y, int width,
                   int height, int id) {
    return CreateWindowExW(0, className, text, style, x, y, width, height, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
}

void PostProgress(uint32_t percent, const std::wstring& statusText, void* context) {
    ProgressPayload* payload = new ProgressPayload{statusText, percent};
    if (!PostMessageW(static_cast<HWND>(context), WM_UPDATE_PROGRESS, 0, reinterpret_cast<LPARAM>(payload))) {
        delete payload;
    }
}

DWORD WINAPI UpdateWorker(LPVOID parameter) {
    HWND window = static_cast<HWND>(parameter);
    UpdateVerdict verdict = RunUpdateSession(GetLauncherFolder(), PostProgress, window);
    ResultPayload* payload = new ResultPayload{verdict.message, verdict.canPlay};
    if (!PostMessageW(window, WM_UPDATE_RESULT, 0, reinterpret_cast<LPARAM>(payload))) {
        delete payload;
    }
    return 0;
}

void CreateControls(HWND window) {
    HWND titleLabel = CreateControl(window, L"STATIC", L"ORVANE", kChildStyle, 52, 52, 500, 58, 0);
    HWND subtitleLabel = CreateControl(window, L"STATIC", L"Первый прототип лаунчера", kChildStyle, 55, 117, 500, 32, 0);
    statusLabel = CreateControl(window, L"STATIC", L"Проверяю обновления на сервере...", kChildStyle, 55, 250, 620, 30, 0);
    progressBar = CreateControl(window, PROGRESS_CLASSW, nullptr, kChildStyle | PBS_SMOOTH, 55, 282, 620, 14, 0);
    SendMessageW(progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendMessageW(progressBar, PBM_SETPOS, 0, 0);
    playButton = CreateControl(window, L"BUTTON", L"ИГРАТЬ", kChildStyle | WS_TABSTOP, 55, 318, 220, 54, IDC_PLAY);
    SendMessageW(titleLabel, WM_SETFONT, reinterpret_cast<WPARAM>(titleFont), TRUE);
    SendMessageW(subtitleLabel, WM_SETFONT, reinterpret_cast<WPARAM>(bodyFont), TRUE);
    SendMessageW(statusLabel, WM_SETFONT, reinterpret_cast<WPARAM>(bodyFont), TRUE);
    SendMessageW(playButton, WM_SETFONT, reinterpret_cast<WPARAM>(bodyFont), TRUE);
    EnableWindow(playButton, FALSE);
}

void StartWorker(HWND window) {
    HANDLE worker = CreateThread(nullptr, 0, UpdateWorker, window, 0, nullptr);
    if (!worker) {
        SetWindowTextW(statusLabel, L"Не удалось начать проверку обновлений.");
        EnableWindow(playButton, TRUE);
        return;
    }
    // Never joined: closing the window ends the process whatever the worker is doing.
    CloseHandle(worker);
}

void OnPlay(HWND window) {
    SetWindowTextW(statusLabel, L"Запускаю Orvane и подключаюсь к серверу...");
    UpdateWindow(window);
    std::wstring errorText;
    if (LaunchGame(errorText)) {
        SetWindowTextW(statusLabel, L"Игра запущена. Можно закрыть лаунчер.");
    } else {
        SetWindowTextW(statusLabel, errorText.c_str());
    }
}

}  // namespace

bool RegisterLauncherClass(HINSTANCE instance) {
    backgroundBrush = CreateSolidBrush(kBackgroundColor);
    titleFont = CreateLauncherFont(48, FW_BOLD);
    bodyFont = CreateLauncherFont(20, FW_NORMAL);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = LauncherWndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = backgroundBrush;
    windowClass.lpszClassName = kWindowClass;
    return RegisterClassExW(&windowClass) != 0;
}

HWND CreateLauncherWindow(HINSTANCE instance) {
    return CreateWindowExW(0, kWindowClass, L"Orvane Launcher", WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                           CW_USEDEFAULT, CW_USEDEFAULT, 760, 460, nullptr, nullptr, instance, nullptr);
}

void DeleteLauncherGdiObjects() {
    DeleteObject(titleFont);
    DeleteObject(bodyFont);
    DeleteObject(backgroundBrush);
    titleFont = nullptr;
    bodyFont = nullptr;
    backgroundBrush = nullptr;
}

LRESULT CALLBACK LauncherWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        CreateControls(window);
        StartWorker(window);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) != IDC_PLAY) {
            break;
        }
        OnPlay(window);
        return 0;
    case WM_CTLCOLORSTATIC: {
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, kTextColor);
        SetBkColor(dc, kBackgroundColor);
        return reinterpret_cast<LRESULT>(backgroundBrush);
    }
    case WM_UPDATE_PROGRESS:
        if (lParam) {
            ProgressPayload* payload = reinterpret_cast<ProgressPayload*>(lParam);
            SetWindowTextW(statusLabel, payload->text.c_str());
            SendMessageW(progressBar, PBM_SETPOS, payload->percent, 0);
            delete payload;
        }
        return 0;
    case WM_UPDATE_RESULT:
        if (lParam) {
            ResultPayload* payload = reinterpret_cast<ResultPayload*>(lParam);
            SetWindowTextW(statusLabel, payload->text.c_str());
            EnableWindow(playButton, payload->canPlay);
            delete payload;
        }
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
