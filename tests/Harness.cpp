#include "Harness.h"

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "net/Sha256.h"
#include "support/TextEncoding.h"

namespace fs = std::filesystem;

namespace {

std::wstring StateFile(const std::wstring& name) {
    const wchar_t* state = _wgetenv(L"ORVANE_TEST_SERVERS");
    return std::wstring(state ? state : L"") + L"\\" + name;
}

}  // namespace

void InFolder::SetUp() {
    static unsigned counter = 0;
    folder = fs::temp_directory_path() / (L"Орвейн тест " + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                          std::to_wstring(++counter));
    fs::remove_all(folder);
    fs::create_directories(folder);
}

void InFolder::TearDown() {
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    fs::remove_all(folder, error);
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(fs::path(path), std::ios::binary | std::ios::trunc) << bytes;
}

std::string ReadBytes(const std::wstring& path) {
    std::ostringstream bytes;
    bytes << std::ifstream(fs::path(path), std::ios::binary).rdbuf();
    return bytes.str();
}

bool FileExists(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring InPath(const std::wstring& folder, const std::string& relative) {
    std::wstring path = folder + L"\\" + Utf8ToWide(relative);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

std::vector<std::string> ReadLines(const std::wstring& path) {
    std::vector<std::string> lines;
    std::istringstream text(ReadBytes(path));
    for (std::string line; std::getline(text, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string TestBytes(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    std::independent_bits_engine<std::mt19937, 8, unsigned> random(seed);
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
    return bytes;
}

std::string DigestOf(const std::string& bytes) {
    std::wstring path = fs::temp_directory_path() / (L"digest-" + std::to_wstring(GetCurrentProcessId()));
    WriteBytes(path, bytes);
    std::string digest = WideToUtf8(Sha256OfFile(path));
    DeleteFileW(path.c_str());
    return digest;
}

std::string Entry(const std::string& path, const std::string& url, const std::string& bytes, const char* size,
                  const std::string& digest) {
    return "{\"path\": \"" + path + "\", \"url\": \"" + url + "\", \"sha256\": \"" +
           (digest.empty() ? DigestOf(bytes) : digest) + "\", \"size\": " + (size ? size : std::to_string(bytes.size())) +
           "}";
}

std::string Manifest(const std::string& version, bool mandatory, const std::vector<std::string>& entries,
                     const std::vector<std::string>& deleted) {
    std::string text = "{\"version\": \"" + version + "\", \"mandatory\": " + (mandatory ? "true" : "false") +
                       ", \"files\": [";
    for (const std::string& entry : entries) {
        text += (&entry == &entries[0] ? "\n  " : ",\n  ") + entry;
    }
    text += "], \"deletedFiles\": [";
    for (const std::string& path : deleted) {
        text += (&path == &deleted[0] ? "\"" : ", \"") + path + "\"";
    }
    return text + "]}\n";
}

void PutServed(const std::string& url, const std::string& bytes) {
    WriteBytes(InPath(StateFile(L"fault-www"), url.substr(1)), bytes);
}

void ResetServer(const std::string& rules) {
    WriteBytes(StateFile(L"fault-requests.log"), "");
    WriteBytes(StateFile(L"fault-www\\control.txt"), rules);
}

std::vector<std::string> Requests(size_t expected) {
    std::vector<std::string> requests;
    for (int wait = 0; wait < 40 && requests.size() < expected; ++wait, Sleep(50)) {
        requests = ReadLines(StateFile(L"fault-requests.log"));
    }
    return requests;
}
