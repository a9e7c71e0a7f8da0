#include <windows.h>

#include <filesystem>
#include <fstream>

#include "support/TextEncoding.h"

// Stands in for Orvane.exe: records how it was started in game-run.txt beside itself (UTF-8):
// the command line, a line feed, the current folder, a line feed.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t self[32768] = {};
    GetModuleFileNameW(nullptr, self, 32768);
    std::ofstream out(std::filesystem::path(self).parent_path() / "game-run.txt", std::ios::binary | std::ios::app);
    out << WideToUtf8(GetCommandLineW()) << '\n' << std::filesystem::current_path().u8string() << '\n';
    return 0;
}
