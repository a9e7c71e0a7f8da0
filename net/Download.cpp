#include "net/Download.h"

#include <windows.h>

#include <algorithm>
#include <memory>

#include "net/BodyReader.h"
#include "net/HttpsRequest.h"
#include "support/FileHandle.h"
#include "support/ManifestLimit.h"
#include "support/TextEncoding.h"
#include "support/UpdateLog.h"

namespace {

constexpr uint32_t kMaxDownloadAttempts = 64;
constexpr DWORD kRetryDelayMs = 1000;

void CloseRequest(HttpsRequest* handles) {
    CloseHttpsRequest(*handles);
}

using RequestHandles = std::unique_ptr<HttpsRequest, decltype(&CloseRequest)>;

enum class BodyEnd { Completed, Interrupted, WriteFailed, SizeReached };

struct Transfer {
    HANDLE file;
    uint64_t expectedSize;
    uint64_t existingBytes;
    uint64_t bytesBefore;
    uint64_t bytesTotal;
    ProgressCallback progress;
    void* progressContext;
    const std::wstring& statusText;
    uint64_t lastPercent;  // uncapped, so a share past 100 is not reported again and again
};

void ReportProgress(Transfer& transfer) {
    // Entries without a size let the bytes done pass the total: the sum saturates and the share is
    // capped before it is narrowed, so it can neither wrap nor fall back below 100.
    uint64_t percent = SharePercent(SaturatingAdd(transfer.bytesBefore, transfer.existingBytes), transfer.bytesTotal);
    if (percent == transfer.lastPercent) {
        return;
    }
    if (transfer.progress) {
        transfer.progress(CappedPercent(percent), transfer.statusText, transfer.progressContext);
    }
    transfer.lastPercent = percent;
}

void LogTooSlow(uint32_t bytes) {
    AppendLogLine(L"Transfer too slow; bytes received in the last 30 s: " + DecimalText(bytes));
}

// Streams the body into the file as it arrives (never more than the reader's ring in memory) and
// writes what arrived before any failure ends the body; nothing past a known size is written.
BodyEnd ReadBody(HttpsRequest& handles, Transfer& transfer) {
    // A chunk no larger than what is still missing: the worker hears of the last byte as soon as it is in.
    uint32_t chunk = transfer.expectedSize == 0
                         ? kTransferBufferSize
                         : static_cast<uint32_t>(std::min<uint64_t>(transfer.expectedSize - transfer.existingBytes,
                                                                    kTransferBufferSize));
    DWORD error = 0;
    BodyReaderHandle reader = StartBodyReader(handles, chunk, error);
    if (!reader) {
        AppendLogLine(L"CreateThread failed: " + DecimalText(error));
        return BodyEnd::Interrupted;
    }
    for (;;) {
        const char* bytes = nullptr;
        uint32_t size = 0;
        BodyEvent event = NextBodyBytes(*reader, bytes, size, error);
        if (event == BodyEvent::Failed) {
            AppendLogLine(L"WinHttpReadData failed: " + DecimalText(error));
            return BodyEnd::Interrupted;
        }
        if (event == BodyEvent::TooSlow) {
            LogTooSlow(size);
            return BodyEnd::Interrupted;
        }
        if (event == BodyEvent::Ended) {
            AppendLogLine(L"Response completed at byte: " + DecimalText(transfer.existingBytes));
            return BodyEnd::Completed;
        }
        if (transfer.expectedSize != 0) {
            size = static_cast<uint32_t>(std::min<uint64_t>(size, transfer.expectedSize - transfer.existingBytes));
        }
        DWORD written = 0;
        if (!WriteFile(transfer.file, bytes, size, &written, nullptr) || written != size) {
            AppendLogLine(L"WriteFile failed: " + DecimalText(GetLastError()));
            return BodyEnd::WriteFailed;
        }
        ReleaseBodyBytes(*reader, size);
        transfer.existingBytes += written;
        ReportProgress(transfer);
        if (transfer.expectedSize != 0 && transfer.existingBytes >= transfer.expectedSize) {
            return BodyEnd::SizeReached;
        }
    }
}

// The Content-Length header as a number; false without one. A value past 64 bits counts as the largest.
bool AnnouncedLength(HINTERNET request, uint64_t& length) {
    wchar_t text[32] = {};
    DWORD textSize = sizeof(text);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &textSize,
                             WINHTTP_NO_HEADER_INDEX)) {
        // A header too long for the buffer is a number of more digits than any limit.
        length = UINT64_MAX;
        return GetLastError() == ERROR_INSUFFICIENT_BUFFER;
    }
    length = 0;
    for (const wchar_t* c = text; *c >= L'0' && *c <= L'9'; ++c) {
        length = length > (UINT64_MAX - 9) / 10 ? UINT64_MAX : length * 10 + static_cast<uint64_t>(*c - L'0');
    }
    return true;
}

bool SeekTo(HANDLE file, uint64_t offset) {
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) != 0;
}

// The attempt loop; false on a write failure, a failed seek or spent attempts short of a known size.
bool RunAttempts(const std::wstring& path, Transfer& transfer) {
    for (uint32_t attempt = 1;; ++attempt) {
        if (attempt > kMaxDownloadAttempts) {
            return transfer.expectedSize == 0 || transfer.existingBytes == transfer.expectedSize;
        }
        if (transfer.expectedSize != 0 && transfer.existingBytes >= transfer.expectedSize) {
            return transfer.existingBytes == transfer.expectedSize;
        }
        if (!SeekTo(transfer.file, transfer.existingBytes)) {
            return false;
        }
        HttpsRequest raw;
        RequestHandles handles(&raw, &CloseRequest);
        if (!OpenHttpsRequest(path, raw, transfer.existingBytes)) {
            handles.reset();
            AppendLogLine(L"Download attempt " + DecimalText(attempt) + L" could not open; retrying.");
            Sleep(kRetryDelayMs);
            continue;
        }
        AppendLogLine(L"Download attempt " + DecimalText(attempt) + L" started at byte " +
                      DecimalText(transfer.existingBytes));
        BodyEnd end = ReadBody(raw, transfer);
        handles.reset();
        if (end == BodyEnd::WriteFailed) {
            return false;
        }
        if (transfer.expectedSize == 0) {
            // Without a size the end of a response is the only sign of completeness; asking again
            // would cost a request and a refused range for every such file.
            if (end == BodyEnd::Completed) {
                return true;
            }
            continue;
        }
        if (transfer.existingBytes < transfer.expectedSize) {
            AppendLogLine(L"Partial file preserved; retrying from byte: " + DecimalText(transfer.existingBytes));
            Sleep(kRetryDelayMs);
        }
    }
}

}  // namespace

bool DownloadToFile(const std::wstring& path, const std::wstring& temporaryPath, uint64_t expectedSize,
                    uint64_t bytesBefore, uint64_t bytesTotal, ProgressCallback progress, void* progressContext,
                    const std::wstring& statusText) {
    AppendLogLine(L"Download start: " + path);
    DWORD error = 0;
    FileHandle file = OpenFile(temporaryPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_TEMPORARY, error);
    if (!file) {
        AppendLogLine(L"CreateFile failed: " + DecimalText(error));
        return false;
    }
    LARGE_INTEGER length{};
    bool fileUsable = GetFileSizeEx(file.get(), &length) != 0;
    uint64_t existingBytes = fileUsable ? static_cast<uint64_t>(length.QuadPart) : 0;
    if (fileUsable && expectedSize != 0 && existingBytes > expectedSize) {
        existingBytes = 0;
        fileUsable = SeekTo(file.get(), 0) && SetEndOfFile(file.get());
    }
    AppendLogLine(L"Temporary file opened: " + temporaryPath + L"; existing bytes: " + DecimalText(existingBytes));
    Transfer transfer{file.get(), expectedSize, existingBytes, bytesBefore, bytesTotal, progress, progressContext,
                      statusText, 0};
    bool success = fileUsable && RunAttempts(path, transfer);
    FlushFileBuffers(file.get());
    file.reset();
    AppendLogLine(success ? L"Download finished successfully." : L"Download failed.");
    return success;
}

bool FetchToMemory(const std::wstring& path, std::string& body, bool& tooLarge) {
    tooLarge = false;
    HttpsRequest raw;
    RequestHandles handles(&raw, &CloseRequest);
    if (!OpenHttpsRequest(path, raw, 0)) {
        return false;
    }
    uint64_t announced = 0;
    bool lengthKnown = AnnouncedLength(raw.request, announced);
    if (lengthKnown && announced > kMaxManifestBytes) {
        AppendLogLine(L"Manifest refused, longer than the limit in bytes: " + DecimalText(kMaxManifestBytes));
        tooLarge = true;
        return false;
    }
    // One allocation of the announced length, not a doubling string that briefly holds three times it.
    body.reserve(lengthKnown ? announced : 0);
    DWORD error = 0;
    BodyReaderHandle reader = StartBodyReader(raw, kTransferBufferSize, error);
    if (!reader) {
        AppendLogLine(L"CreateThread failed: " + DecimalText(error));
        return false;
    }
    for (;;) {
        const char* bytes = nullptr;
        uint32_t size = 0;
        BodyEvent event = NextBodyBytes(*reader, bytes, size, error);
        if (event == BodyEvent::TooSlow) {
            LogTooSlow(size);
        }
        if (event != BodyEvent::Bytes) {
            return event == BodyEvent::Ended;
        }
        if (size > kMaxManifestBytes - body.size()) {
            AppendLogLine(L"Manifest refused, longer than the limit in bytes: " + DecimalText(kMaxManifestBytes));
            tooLarge = true;
            return false;
        }
        body.append(bytes, size);
        ReleaseBodyBytes(*reader, size);
    }
}
