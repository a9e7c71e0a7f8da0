#include "ServerFiles.h"

#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "TestFiles.h"
#include "net/Sha256.h"
#include "support/TextEncoding.h"

namespace {

std::wstring StateFolder() {
    const wchar_t* state = _wgetenv(L"ORVANE_TEST_SERVERS");
    return state ? state : L"";
}

void PutFile(const std::wstring& root, const std::string& url, const std::string& bytes) {
    std::wstring path = root + Utf8ToWide(url);
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    WriteBytes(path, bytes);
}

std::vector<ServedRequest> ReadRequests(const std::wstring& log, size_t expected) {
    std::vector<ServedRequest> requests;
    for (int wait = 0; wait < 40; ++wait) {
        requests.clear();
        std::istringstream lines(ReadBytes(log));
        std::string line;
        while (std::getline(lines, line)) {
            ServedRequest request;
            std::istringstream fields(line);
            std::string status;
            std::string bytes;
            std::getline(fields, request.path, '|');
            std::getline(fields, request.range, '|');
            std::getline(fields, status, '|');
            std::getline(fields, bytes, '|');
            if (request.range == "-") {  // nginx's way of writing an absent header
                request.range.clear();
            }
            request.status = std::atoi(status.c_str());
            request.bodyBytes = std::strtoull(bytes.c_str(), nullptr, 10);
            requests.push_back(request);
        }
        if (requests.size() >= expected) {
            break;
        }
        Sleep(50);
    }
    return requests;
}

}  // namespace

void PutNginxFile(const std::string& url, const std::string& bytes) {
    PutFile(StateFolder() + L"\\www", url, bytes);
}

void PutFaultFile(const std::string& url, const std::string& bytes) {
    PutFile(StateFolder() + L"\\fault-www", url, bytes);
}

void SetFaultRules(const std::string& rules) {
    WriteBytes(StateFolder() + L"\\fault-www\\control.txt", rules);
}

void ResetServers() {
    WriteBytes(StateFolder() + L"\\nginx-access.log", "");
    WriteBytes(StateFolder() + L"\\fault-requests.log", "");
    SetFaultRules("");
}

std::vector<ServedRequest> NginxRequests(size_t expected) {
    return ReadRequests(StateFolder() + L"\\nginx-access.log", expected);
}

std::vector<ServedRequest> FaultRequests(size_t expected) {
    return ReadRequests(StateFolder() + L"\\fault-requests.log", expected);
}

std::string TestBytes(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 12345u;
    for (char& b : bytes) {
        state = state * 1103515245u + 12345u;
        b = static_cast<char>(state >> 24);
    }
    return bytes;
}

std::string DigestOf(const std::string& bytes) {
    std::wstring folder = MakeTestFolder();
    WriteBytes(folder + L"\\bytes.bin", bytes);
    std::string digest = WideToUtf8(Sha256OfFile(folder + L"\\bytes.bin"));
    RemoveTestFolder(folder);
    return digest;
}

std::string ManifestJson(const std::string& version, bool mandatory, const std::vector<ServedFile>& files,
                         const std::vector<std::string>& deletedFiles) {
    std::string text = "{\n  \"version\": \"" + version + "\",\n  \"mandatory\": " + (mandatory ? "true" : "false") +
                       ",\n  \"files\": [";
    for (size_t i = 0; i < files.size(); ++i) {
        text += std::string(i ? ",\n" : "\n") + "    {\"path\": \"" + files[i].path + "\", \"url\": \"" + files[i].url +
                "\", \"sha256\": \"" + DigestOf(files[i].bytes) + "\", \"size\": " +
                std::to_string(files[i].bytes.size()) + "}";
    }
    text += "\n  ],\n  \"deletedFiles\": [";
    for (size_t i = 0; i < deletedFiles.size(); ++i) {
        text += std::string(i ? ", " : "") + "\"" + deletedFiles[i] + "\"";
    }
    return text + "]\n}\n";
}

std::vector<std::string> LogLines(const std::wstring& folder) {
    std::vector<std::string> lines;
    std::istringstream text(ReadBytes(folder + L"\\launcher-update.log"));
    std::string line;
    while (std::getline(text, line)) {
        lines.push_back(line);
    }
    return lines;
}
