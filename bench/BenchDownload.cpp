// Download and skip figures against the local nginx; run by bench/download.sh, which also times curl.
//   bench_download ours URL TEMP SIZE    DownloadToFile into TEMP
//   bench_download plain URL TEMP        the least WinHTTP loop that writes the body to TEMP
//   bench_download session FOLDER        one update session over FOLDER
//   bench_download requests URL COUNT    COUNT plain requests for URL, a new connection each, bodies discarded
//   bench_download files LIST FOLDER     what the engine does for each file, least done: LIST holds the manifest's
//                                        URL, then lines "URL PATH"; each body goes to FOLDER\PATH.download,
//                                        flushed, closed and moved over FOLDER\PATH
// Each prints "<seconds> <peak working set in MiB>". The host is the one linked in (bench_download_link:
// the link emulator on 127.0.0.2).
#include <windows.h>
#include <psapi.h>
#include <winhttp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "net/Download.h"
#include "net/ServerHost.h"
#include "net/Sha256.h"
#include "support/UpdateLog.h"
#include "support/TextEncoding.h"
#include "update/UpdateSession.h"

namespace {

// With no temporary path the body is read and dropped.
bool PlainDownload(const std::wstring& url, const std::wstring& temporaryPath) {
    HINTERNET session = WinHttpOpen(L"bench", 4, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    HINTERNET connection = WinHttpConnect(session, kUpdateServerHost, 443, 0);
    HINTERNET request = WinHttpOpenRequest(connection, L"GET", url.c_str(), nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    bool ok = request && WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
              WinHttpReceiveResponse(request, nullptr);
    HANDLE file = temporaryPath.empty() ? INVALID_HANDLE_VALUE
                                        : CreateFileW(temporaryPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    std::vector<char> buffer(1048576);
    DWORD received = 0;
    while (ok && WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), &received) && received > 0) {
        DWORD written = 0;
        ok = file == INVALID_HANDLE_VALUE || WriteFile(file, buffer.data(), received, &written, nullptr);
    }
    if (file != INVALID_HANDLE_VALUE) {
        FlushFileBuffers(file);
        CloseHandle(file);
    }
    WinHttpCloseHandle(request);
    WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
    return ok;
}

// The manifest read and dropped, then every file requested on a new session, written, flushed and moved.
bool PlainFiles(const std::wstring& list, const std::wstring& folder) {
    std::wifstream lines(list.c_str());
    std::wstring manifest, line;
    bool ok = std::getline(lines, manifest) && PlainDownload(manifest, L"");
    while (ok && std::getline(lines, line)) {
        std::wistringstream fields(line);
        std::wstring url, path;
        fields >> url >> path;
        std::wstring target = folder + L"\\" + path, temporary = target + L".download";
        ok = PlainDownload(url, temporary) &&
             MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    }
    return ok;
}

double PeakWorkingSetMiB() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return static_cast<double>(counters.PeakWorkingSetSize) / 1048576.0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_download ours|plain|session ...\n");
        return 2;
    }
    std::wstring mode = argv[1];
    auto start = std::chrono::steady_clock::now();
    bool ok = false;
    if (mode == L"ours" && argc == 5) {
        ok = DownloadToFile(argv[2], argv[3], std::wcstoull(argv[4], nullptr, 10), 0, 0, nullptr, nullptr, L"");
    } else if (mode == L"plain" && argc == 4) {
        ok = PlainDownload(argv[2], argv[3]);
    } else if (mode == L"requests" && argc == 4) {
        ok = true;
        for (unsigned long n = std::wcstoul(argv[3], nullptr, 10); ok && n > 0; --n) {
            ok = PlainDownload(argv[2], L"");
        }
    } else if (mode == L"files" && argc == 4) {
        ok = PlainFiles(argv[2], argv[3]);
    } else if (mode == L"steps" && argc == 4) {
        std::wstring folder = argv[2], file = folder + L"\\step.bin";
        unsigned long count = std::wcstoul(argv[3], nullptr, 10);
        StartLog(folder);
        for (unsigned long n = 0; n < count * 6; ++n) {
            AppendLogLine(L"Opening HTTPS request: /updates/blobs/0123456789abcdef0123456789abcdef0123456789abcdef01234567");
        }
        double logged = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::ofstream(file.c_str(), std::ios::binary) << std::string(4096, 'x');
        auto digestStart = std::chrono::steady_clock::now();
        for (unsigned long n = 0; n < count; ++n) {
            ok = Sha256OfFile(file).size() == 64;
        }
        double digested = std::chrono::duration<double>(std::chrono::steady_clock::now() - digestStart).count();
        std::printf("%.3f %.3f\n", 1000 * logged / count, 1000 * digested / count);
        return ok ? 0 : 1;
    } else if (mode == L"session" && argc == 3) {
        UpdateVerdict verdict = RunUpdateSession(argv[2], nullptr, nullptr);
        ok = verdict.canPlay;
        std::fprintf(stderr, "%s\n", WideToUtf8(verdict.message).c_str());
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.3f %.1f\n", seconds, PeakWorkingSetMiB());
    return ok ? 0 : 1;
}
