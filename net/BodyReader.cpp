#include "net/BodyReader.h"

#include <algorithm>
#include <atomic>

#include "support/FileHandle.h"

namespace {

// A link that stalls outright trips WinHTTP's own receive time-out, as long as the window, and is
// logged as the read that failed; the window ends a moment later so that it only ever catches a drip.
constexpr uint64_t kSlowGraceMs = 1000;

}  // namespace

struct BodyReader {
    HttpsRequest handles;
    uint64_t chunkSize;
    std::unique_ptr<char[]> ring;  // two chunks; not zero-filled, so a small body touches few pages
    FileHandle arrived{nullptr, &CloseHandle};  // auto-reset: a chunk's worth is there, or the body ended
    FileHandle room{nullptr, &CloseHandle};     // auto-reset: the worker gave room back, or stopped
    std::atomic<uint64_t> head{0};              // bytes the helper has put into the ring
    std::atomic<uint64_t> tail{0};              // bytes the worker has taken out
    std::atomic<uint64_t> markBytes{0};         // head when the window last began
    std::atomic<uint64_t> markTick{0};          // and its GetTickCount64
    std::atomic<bool> signalled{false};         // arrived is set and the worker has not looked since
    std::atomic<bool> ended{false};             // the helper is done; failed and error are then final
    std::atomic<bool> stopped{false};
    bool failed = false;
    DWORD error = 0;
    std::atomic<int> owners{2};  // the worker and the helper; the last one out closes and frees
};

namespace {

void Release(BodyReader* reader) {
    if (reader->owners.fetch_sub(1) == 1) {
        CloseHttpsRequest(reader->handles);
        delete reader;
    }
}

// Every kSlowWindowBytes that arrive begin a new window.
void MarkProgress(BodyReader& reader, uint64_t head) {
    if (head - reader.markBytes.load() >= kSlowWindowBytes) {
        reader.markBytes.store(head);
        reader.markTick.store(GetTickCount64());
    }
}

// Reads only what WinHTTP says has arrived: Wine's WinHttpReadData drops a part-filled buffer when the
// connection breaks, so asking for more would lose bytes a resume could keep.
DWORD WINAPI ReadBodyThread(void* parameter) {
    BodyReader& reader = *static_cast<BodyReader*>(parameter);
    const uint64_t capacity = 2 * reader.chunkSize;
    uint64_t head = 0;
    while (!reader.stopped.load()) {
        uint64_t room = capacity - (head - reader.tail.load());
        if (room == 0) {
            WaitForSingleObject(reader.room.get(), INFINITE);
            // Time spent waiting for the worker (a slow disk) is not the link's.
            reader.markBytes.store(head);
            reader.markTick.store(GetTickCount64());
            continue;
        }
        DWORD available = 0, received = 0;
        if (!WinHttpQueryDataAvailable(reader.handles.request, &available)) {
            reader.error = GetLastError();
            reader.failed = true;
            break;
        }
        uint64_t at = head % capacity;
        DWORD wanted = static_cast<DWORD>(std::min<uint64_t>({available, room, capacity - at}));
        if (available > 0 && !WinHttpReadData(reader.handles.request, reader.ring.get() + at, wanted, &received)) {
            reader.error = GetLastError();
            reader.failed = true;
            break;
        }
        if (received == 0) {
            break;
        }
        head += received;
        reader.head.store(head);
        MarkProgress(reader, head);
        if (head - reader.tail.load() >= reader.chunkSize && !reader.signalled.exchange(true)) {
            SetEvent(reader.arrived.get());
        }
    }
    reader.ended.store(true);
    SetEvent(reader.arrived.get());
    Release(&reader);
    return 0;
}

}  // namespace

BodyReaderHandle StartBodyReader(HttpsRequest& handles, uint32_t chunkSize, DWORD& error) {
    BodyReaderHandle none(nullptr, &StopBodyReader);
    auto reader = std::make_unique<BodyReader>();
    reader->chunkSize = std::max<uint32_t>(chunkSize, 1);
    reader->ring.reset(new char[2 * reader->chunkSize]);
    reader->arrived.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    reader->room.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    reader->markTick.store(GetTickCount64());
    if (!reader->arrived || !reader->room) {
        error = GetLastError();
        return none;
    }
    reader->handles = handles;
    HANDLE thread = CreateThread(nullptr, 0, ReadBodyThread, reader.get(), 0, nullptr);
    if (!thread) {
        error = GetLastError();
        reader->handles = HttpsRequest();
        return none;
    }
    CloseHandle(thread);
    handles = HttpsRequest();
    return BodyReaderHandle(reader.release(), &StopBodyReader);
}

BodyEvent NextBodyBytes(BodyReader& reader, const char*& bytes, uint32_t& size, DWORD& error) {
    const uint64_t capacity = 2 * reader.chunkSize;
    for (;;) {
        reader.signalled.store(false);
        bool ended = reader.ended.load();  // before head: every byte put in before the end is then seen
        uint64_t head = reader.head.load(), tail = reader.tail.load();
        uint64_t now = GetTickCount64(), deadline = reader.markTick.load() + kSlowWindowMs + kSlowGraceMs;
        uint64_t pending = head - tail;
        if (pending >= reader.chunkSize || (pending > 0 && (ended || now >= deadline))) {
            bytes = reader.ring.get() + tail % capacity;
            size = static_cast<uint32_t>(std::min({pending, reader.chunkSize, capacity - tail % capacity}));
            return BodyEvent::Bytes;
        }
        if (ended) {
            error = reader.error;
            return reader.failed ? BodyEvent::Failed : BodyEvent::Ended;
        }
        if (now >= deadline) {
            size = static_cast<uint32_t>(head - reader.markBytes.load());
            return BodyEvent::TooSlow;
        }
        WaitForSingleObject(reader.arrived.get(), static_cast<DWORD>(deadline - now));
    }
}

void ReleaseBodyBytes(BodyReader& reader, uint32_t size) {
    reader.tail.store(reader.tail.load() + size);
    SetEvent(reader.room.get());
}

void StopBodyReader(BodyReader* reader) {
    reader->stopped.store(true);
    SetEvent(reader->room.get());
    Release(reader);
}
