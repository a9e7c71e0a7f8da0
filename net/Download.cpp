#include "net/Download.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "net/HttpsRequest.h"
#include "support/FileHandle.h"
#include "support/TextEncoding.h"
#include "support/UpdateLog.h"

namespace {

constexpr uint32_t kMaxDownloadAttempts = 64;
constexpr DWORD kRetryDelayMs = 1000;
constexpr DWORD kTransferBufferSize = 1048576;

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
    std::vector<char>& buffer;
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

// Streams the body into the file through the one buffer; never holds more than that in memory. The
// buffer is filled from what has already arrived, not by one read that waits for all of it: Wine's
// WinHttpReadData drops a part-filled buffer when the connection breaks, so a link that breaks more
// often than every 1 MiB would never move a file forward. What arrived is written before a failure ends the body.
BodyEnd ReadBody(HINTERNET request, Transfer& transfer) {
    for (;;) {
        DWORD filled = 0, available = 0, error = 0;
        bool failed = false;
        uint64_t wanted = transfer.expectedSize - transfer.existingBytes;  // used only with a size, which is short here
        while (filled < kTransferBufferSize && (transfer.expectedSize == 0 || filled < wanted)) {
            DWORD received = 0;
            if (!WinHttpQueryDataAvailable(request, &available) ||
                (available > 0 && !WinHttpReadData(request, transfer.buffer.data() + filled,
                                                   std::min(available, kTransferBufferSize - filled), &received))) {
                error = GetLastError();
                failed = true;
                break;
            }
            if (available == 0) {
                break;
            }
            filled += received;
        }
        DWORD written = 0;
        if (filled > 0 && (!WriteFile(transfer.file, transfer.buffer.data(), filled, &written, nullptr) || written != filled)) {
            AppendLogLine(L"WriteFile failed: " + DecimalText(GetLastError()));
            return BodyEnd::WriteFailed;
        }
        transfer.existingBytes += written;
        if (written > 0) {
            ReportProgress(transfer);
        }
        if (failed) {
            AppendLogLine(L"WinHttpReadData failed: " + DecimalText(error));
            return BodyEnd::Interrupted;
        }
        if (transfer.expectedSize != 0 && transfer.existingBytes >= transfer.expectedSize) {
            return BodyEnd::SizeReached;
        }
        if (available == 0) {
            AppendLogLine(L"Response completed at byte: " + DecimalText(transfer.existingBytes));
            return BodyEnd::Completed;
        }
    }
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
        BodyEnd end = ReadBody(raw.request, transfer);
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
    std::vector<char> buffer(kTransferBufferSize);
    Transfer transfer{file.get(), expectedSize, existingBytes, bytesBefore, bytesTotal, progress, progressContext,
                      statusText, 0, buffer};
    bool success = fileUsable && RunAttempts(path, transfer);
    FlushFileBuffers(file.get());
    file.reset();
    AppendLogLine(success ? L"Download finished successfully." : L"Download failed.");
    return success;
}

bool FetchToMemory(const std::wstring& path, std::string& body) {
    HttpsRequest raw;
    RequestHandles handles(&raw, &CloseRequest);
    if (!OpenHttpsRequest(path, raw, 0)) {
        return false;
    }
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(raw.request, &available)) {
            return false;
        }
        if (available == 0) {
            return true;
        }
        std::vector<char> chunk(available);
        DWORD received = 0;
        if (!WinHttpReadData(raw.request, chunk.data(), available, &received)) {
            return false;
        }
        body.append(chunk.data(), received);
    }
}
