#include <windows.h>
#include <commctrl.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ExpectedTexts.h"
#include "Harness.h"
#include "launcher/GameLaunch.h"
#include "launcher/LauncherWindow.h"
#include "support/TextEncoding.h"

// The real window in this process, on the X display the test run gives it. The worker it starts is
// linked to an address where nothing listens, so it ends quickly with a failed first installation.

namespace {

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

std::wstring ProgramFolder() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self);
    return path.substr(0, path.find_last_of(L"\\/"));
}

class LauncherWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
        RegisterLauncherClass(GetModuleHandleW(nullptr));
    }
    static void TearDownTestSuite() { DeleteLauncherGdiObjects(); }
    void SetUp() override {
        window = CreateLauncherWindow(GetModuleHandleW(nullptr));
        ASSERT_NE(window, nullptr) << "no X display? " << GetLastError();
        for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            children.push_back(child);
        }
        ASSERT_EQ(children.size(), 5u);
        status = children[2], progress = children[3], play = children[4];
        ShowWindow(window, SW_SHOW);
        // The worker's own verdict arrives first; tests post theirs after it.
        for (int i = 0; i < 600 && TextOf(status) != expected::kFirstFetchFailed; ++i, Sleep(50)) {
            Pump();
        }
        ASSERT_EQ(TextOf(status), expected::kFirstFetchFailed);
    }
    void TearDown() override {
        DestroyWindow(window);
        Pump();
        for (const wchar_t* name : {L"\\Orvane.exe", L"\\game-run.txt"}) {
            std::error_code error;
            std::filesystem::remove(ProgramFolder() + name, error);
        }
    }
    HWND window = nullptr, status = nullptr, progress = nullptr, play = nullptr;
    std::vector<HWND> children;
};

}  // namespace

TEST_F(LauncherWindow, LayoutAsCreated) {
    wchar_t text[64] = {};
    GetClassNameW(window, text, 64);
    EXPECT_EQ(std::wstring(text), L"OrvaneLauncherWindow");
    GetWindowTextW(window, text, 64);
    EXPECT_EQ(std::wstring(text), L"Orvane Launcher");
    EXPECT_EQ(GetWindowLongW(window, GWL_STYLE) & 0x00CF0000, 0x00CA0000) << "caption, menu, minimise; no sizing";
    RECT outer{};
    GetWindowRect(window, &outer);
    EXPECT_EQ(outer.right - outer.left, 760);
    EXPECT_EQ(outer.bottom - outer.top, 460);
    const struct {
        const wchar_t* className;
        const char* text;
        RECT bounds;
        int id;
    } controls[] = {
        {L"Static", "ORVANE", {52, 52, 552, 110}, 0},
        {L"Static", "Первый прототип лаунчера", {55, 117, 555, 149}, 0},
        {L"Static", nullptr, {55, 250, 675, 280}, 0},
        {L"msctls_progress32", "", {55, 282, 675, 296}, 0},
        {L"Button", "ИГРАТЬ", {55, 318, 275, 372}, 1001},
    };
    for (size_t i = 0; i < 5; ++i) {
        GetClassNameW(children[i], text, 64);
        EXPECT_EQ(_wcsicmp(text, controls[i].className), 0) << i;
        EXPECT_TRUE(!controls[i].text || TextOf(children[i]) == controls[i].text) << i;
        RECT r{};
        GetWindowRect(children[i], &r);
        MapWindowPoints(HWND_DESKTOP, window, reinterpret_cast<POINT*>(&r), 2);
        EXPECT_TRUE(EqualRect(&r, &controls[i].bounds)) << i << ": " << r.left << "," << r.top << "," << r.right << "," << r.bottom;
        EXPECT_EQ(GetDlgCtrlID(children[i]), controls[i].id) << i;
    }
    EXPECT_EQ(SendMessageW(progress, PBM_GETRANGE, FALSE, 0), 100);
    EXPECT_FALSE(IsWindowEnabled(play)) << "a failed first installation cannot be played";
}

TEST_F(LauncherWindow, ProgressAndVerdictMessages) {
    const struct {
        UINT message;
        void* payload;  // null: the message changes nothing
        const char* status;
        int percent;
        bool playEnabled;
    } cases[] = {
        {WM_UPDATE_PROGRESS, new ProgressPayload{L"Скачиваю файл 3 из 12: archive01.bin", 37},
         "Скачиваю файл 3 из 12: archive01.bin", 37, false},
        {WM_UPDATE_PROGRESS, nullptr, "Скачиваю файл 3 из 12: archive01.bin", 37, false},
        {WM_UPDATE_RESULT, nullptr, "Скачиваю файл 3 из 12: archive01.bin", 37, false},
        {WM_UPDATE_RESULT, new ResultPayload{L"Версия 1.2.0 актуальна. Можно играть.", true},
         "Версия 1.2.0 актуальна. Можно играть.", 37, true},
        {WM_UPDATE_RESULT, new ResultPayload{L"Обновление не завершено", false}, "Обновление не завершено", 37, false},
    };
    for (const auto& c : cases) {
        PostMessageW(window, c.message, 0, reinterpret_cast<LPARAM>(c.payload));
        Pump();
        EXPECT_EQ(TextOf(status), c.status);
        EXPECT_EQ(SendMessageW(progress, PBM_GETPOS, 0, 0), c.percent) << c.status;
        EXPECT_EQ(IsWindowEnabled(play) != 0, c.playEnabled) << c.status;
    }
}

// The play command, whatever its notification code, starts Orvane.exe beside the launcher (here the
// test program) or says why not.
TEST_F(LauncherWindow, PlayStartsTheGameOrSaysWhyNot) {
    std::wstring folder = ProgramFolder(), game = folder + L"\\Orvane.exe";
    const struct {
        const char* beside;  // what stands at Orvane.exe: nothing, a folder, the test game
        WORD code;
        std::string status;
    } cases[] = {
        {"nothing", BN_CLICKED, expected::kNoGame},
        {"folder", BN_DOUBLECLICKED, expected::kLaunchFailed},
        {"game", 0x1234, expected::kGameStarted},
    };
    for (const auto& c : cases) {
        std::string beside = c.beside;
        if (beside == "folder") {
            std::filesystem::create_directory(game);
        } else if (beside == "game") {
            std::filesystem::remove(game);
            std::filesystem::copy_file(folder + L"\\test_game.exe", game);
        }
        SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_PLAY, c.code), reinterpret_cast<LPARAM>(play));
        std::string shown = TextOf(status);
        EXPECT_EQ(shown.substr(0, c.status.size()), c.status) << beside;
        EXPECT_TRUE(beside != "folder" || shown.size() > c.status.size()) << "the system's text follows";
    }
    for (int i = 0; i < 200 && ReadBytes(folder + L"\\game-run.txt").find('\n') == std::string::npos; ++i) {
        Sleep(50);
    }
    Sleep(100);
    EXPECT_EQ(ReadBytes(folder + L"\\game-run.txt"),
              "\"" + WideToUtf8(game) + "\"" + expected::kGameArguments + "\n" + WideToUtf8(folder) + "\n");
    SetWindowTextW(status, L"unchanged");
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(1002, BN_CLICKED), 0);
    EXPECT_EQ(TextOf(status), "unchanged") << "other commands are not the play button";
    EXPECT_EQ(WindowsErrorText(0x2000BEEF), L"Неизвестная ошибка Windows");
}
