#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/TextEncoding.h"

// Stands in for Orvane.exe: records how it was started in game-run.txt beside itself (UTF-8):
// the command line, a line feed, the current folder, a line feed.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t self[32768] = {};
    DWORD length = GetModuleFileNameW(nullptr, self, 32768);
    std::wstring folder(self, length);
    folder = folder.substr(0, folder.find_last_of(L"\\/"));
    wchar_t current[32768] = {};
    GetCurrentDirectoryW(32768, current);
    std::ofstream out(std::filesystem::path(folder + L"\\game-run.txt"), std::ios::binary | std::ios::app);
    out << WideToUtf8(GetCommandLineW()) << '\n' << WideToUtf8(current) << '\n';
    return 0;
}
