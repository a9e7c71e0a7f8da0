#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "launcher/LauncherWindow.h"
#include "support/TextEncoding.h"

// The real window in this process, on the X display CTest gives it. The update worker it starts is
// linked to talk to an address where nothing listens, so it ends quickly with a first-install failure.

namespace {

struct Controls {
    HWND title, subtitle, status, progress, play;
};

Controls FindControls(HWND window) {
    std::vector<HWND> children;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        children.push_back(child);
    }
    EXPECT_EQ(children.size(), 5u);
    children.resize(5);
    return Controls{children[0], children[1], children[2], children[3], children[4]};
}

std::string TextOf(HWND control) {
    wchar_t text[512] = {};
    SendMessageW(control, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text));
    return WideToUtf8(text);
}

void Pump() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

bool PumpUntil(HWND status, const std::string& text) {
    for (int i = 0; i < 600; ++i) {
        Pump();
        if (TextOf(status) == text) {
            return true;
        }
        Sleep(50);
    }
    return false;
}

class LauncherWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
        ASSERT_TRUE(RegisterLauncherClass(GetModuleHandleW(nullptr)));
    }
    static void TearDownTestSuite() { DeleteLauncherGdiObjects(); }

    void SetUp() override {
        window = CreateLauncherWindow(GetModuleHandleW(nullptr));
        ASSERT_NE(window, nullptr) << "no X display? " << GetLastError();
        controls = FindControls(window);
        ShowWindow(window, SW_SHOW);
    }
    void TearDown() override {
        DestroyWindow(window);
        Pump();
    }

    // The worker's own verdict arrives first; tests post theirs after it.
    void WaitForWorker() {
        ASSERT_TRUE(PumpUntil(controls.status,
                              "Не удалось получить файлы первой установки. Проверьте интернет и повторите запуск."));
    }

    HWND window = nullptr;
    Controls controls{};
};

}  // namespace

TEST_F(LauncherWindow, LayoutAsCreated) {
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    EXPECT_EQ(std::wstring(className), L"OrvaneLauncherWindow");
    wchar_t title[64] = {};
    GetWindowTextW(window, title, 64);
    EXPECT_EQ(std::wstring(title), L"Orvane Launcher");
    EXPECT_EQ(GetWindowLongW(window, GWL_STYLE) & 0x00CF0000, 0x00CA0000) << "caption, menu, minimise; no sizing";
    RECT outer{};
    GetWindowRect(window, &outer);
    EXPECT_EQ(outer.right - outer.left, 760);
    EXPECT_EQ(outer.bottom - outer.top, 460);

    const struct {
        HWND control;
        const char* className;
        const char* text;
        RECT bounds;
        int id;
    } expected[] = {
        {controls.title, "Static", "ORVANE", {52, 52, 552, 110}, 0},
        {controls.subtitle, "Static", "Первый прототип лаунчера", {55, 117, 555, 149}, 0},
        {controls.status, "Static", "Проверяю обновления на сервере...", {55, 250, 675, 280}, 0},
        {controls.progress, "msctls_progress32", "", {55, 282, 675, 296}, 0},
        {controls.play, "Button", "ИГРАТЬ", {55, 318, 275, 372}, 1001},
    };
    for (const auto& e : expected) {
        wchar_t name[64] = {};
        GetClassNameW(e.control, name, 64);
        EXPECT_EQ(_wcsicmp(name, Utf8ToWide(e.className).c_str()), 0) << e.text;
        if (e.control != controls.status) {  // the worker may have changed it already
            EXPECT_EQ(TextOf(e.control), e.text);
        }
        RECT bounds{};
        GetWindowRect(e.control, &bounds);
        MapWindowPoints(HWND_DESKTOP, window, reinterpret_cast<POINT*>(&bounds), 2);
        EXPECT_EQ(bounds.left, e.bounds.left) << e.text;
        EXPECT_EQ(bounds.top, e.bounds.top) << e.text;
        EXPECT_EQ(bounds.right, e.bounds.right) << e.text;
        EXPECT_EQ(bounds.bottom, e.bounds.bottom) << e.text;
        EXPECT_EQ(GetDlgCtrlID(e.control), e.id) << e.text;
    }
    EXPECT_EQ(SendMessageW(controls.progress, PBM_GETRANGE, FALSE, 0), 100);
    EXPECT_FALSE(IsWindowEnabled(controls.play)) << "disabled until the verdict";
    WaitForWorker();
    EXPECT_FALSE(IsWindowEnabled(controls.play)) << "a failed first installation cannot be played";
}

TEST_F(LauncherWindow, ProgressAndResultPayloads) {
    WaitForWorker();
    PostMessageW(window, WM_UPDATE_PROGRESS, 0, reinterpret_cast<LPARAM>(new ProgressPayload{L"Скачиваю файл 3 из 12: archive01.bin", 37}));
    Pump();
    EXPECT_EQ(TextOf(controls.status), "Скачиваю файл 3 из 12: archive01.bin");
    EXPECT_EQ(SendMessageW(controls.progress, PBM_GETPOS, 0, 0), 37);

    // Null payloads change nothing.
    PostMessageW(window, WM_UPDATE_PROGRESS, 0, 0);
    PostMessageW(window, WM_UPDATE_RESULT, 0, 0);
    Pump();
    EXPECT_EQ(TextOf(controls.status), "Скачиваю файл 3 из 12: archive01.bin");
    EXPECT_EQ(SendMessageW(controls.progress, PBM_GETPOS, 0, 0), 37);
    EXPECT_FALSE(IsWindowEnabled(controls.play));

    for (bool canPlay : {true, false, true}) {
        PostMessageW(window, WM_UPDATE_RESULT, 0,
                     reinterpret_cast<LPARAM>(new ResultPayload{L"Версия 1.2.0 актуальна. Можно играть.", canPlay}));
        Pump();
        EXPECT_EQ(TextOf(controls.status), "Версия 1.2.0 актуальна. Можно играть.");
        EXPECT_EQ(IsWindowEnabled(controls.play) != 0, canPlay);
        EXPECT_EQ(SendMessageW(controls.progress, PBM_GETPOS, 0, 0), 37) << "the bar keeps its last position";
    }
}

TEST_F(LauncherWindow, PlayCommandWhateverItsNotification) {
    WaitForWorker();
    for (WORD code : {WORD(BN_CLICKED), WORD(BN_DOUBLECLICKED), WORD(0x1234)}) {
        SetWindowTextW(controls.status, L"");
        SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_PLAY, code), reinterpret_cast<LPARAM>(controls.play));
        // This test program has no Orvane.exe beside it.
        EXPECT_EQ(TextOf(controls.status), "Orvane.exe не найден рядом с лаунчером. Поместите лаунчер в папку игры.")
            << code;
    }
    SetWindowTextW(controls.status, L"unchanged");
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(1002, BN_CLICKED), 0);
    EXPECT_EQ(TextOf(controls.status), "unchanged") << "other commands are not the play button";
}
