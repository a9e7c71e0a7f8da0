#include "net/BodyReader.h"

#include <algorithm>
#include <atomic>

#include "support/FileHandle.h"

namespace {

// A link that stalls outright trips WinHTTP's own receive time-out, as long as the window, and is
// logged as the read that failed; the window ends a moment later so that it only ever catches a drip.
constexpr uint64_t kSlowGraceMs = 1000;
constexpr int kSending = 0, kSent = 1, kGivenUp = 2;

}  // namespace

struct BodyReader {
    HttpsRequest handles;
    uint64_t chunkSize = 0;
    std::unique_ptr<char[]> ring;                // two chunks; not zero-filled: a small body touches few pages
    FileHandle start{nullptr, &CloseHandle};    // auto-reset: a body was handed to the helper, or it is to quit
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
    std::atomic<int> owners{0};  // of this body: the worker and the helper; the last one out closes the handles
    bool quit = false;
    bool send = false;              // the task: send the request and wait for its headers, or read the body
    std::atomic<int> sendState{0};  // kSending, then kSent by the helper or kGivenUp by the worker, never both
    bool sent = false;
};

namespace {

// A helper that has finished its body waits here for the next one: starting a thread costs about as
// much under Wine as a small file's request. A helper left blocked by a body given up is replaced, and
// when it comes back it waits here, or ends when another already does.
std::atomic<BodyReader*> parked{nullptr};

// The helper waits for the next request, or ends when another already does.
void Park(BodyReader* reader) {
    BodyReader* none = nullptr;
    if (!parked.compare_exchange_strong(none, reader)) {
        reader->quit = true;
        SetEvent(reader->start.get());
    }
}

// The body is done for whoever calls this last: the handles are closed and the helper waits for the next.
void Release(BodyReader* reader) {
    if (reader->owners.fetch_sub(1) != 1) {
        return;
    }
    CloseHttpsRequest(reader->handles);
    Park(reader);
}

bool SendAndReceive(HINTERNET request) {
    return WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
           WinHttpReceiveResponse(request, nullptr);
}

void Send(BodyReader& reader) {
    reader.sent = SendAndReceive(reader.handles.request);
    reader.error = reader.sent ? 0 : GetLastError();
    if (reader.sendState.exchange(kSent) == kGivenUp) {
        // The worker went on without this request: its handles are the helper's to close.
        CloseHttpsRequest(reader.handles);
        Park(&reader);
        return;
    }
    // The worker may already have taken the reader for its next request: a late signal only makes a
    // wait look again.
    SetEvent(reader.arrived.get());
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
void ReadBody(BodyReader& reader) {
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
            return;
        }
        uint64_t at = head % capacity;
        DWORD wanted = static_cast<DWORD>(std::min<uint64_t>({available, room, capacity - at}));
        if (available > 0 && !WinHttpReadData(reader.handles.request, reader.ring.get() + at, wanted, &received)) {
            reader.error = GetLastError();
            reader.failed = true;
            return;
        }
        if (received == 0) {
            return;
        }
        head += received;
        reader.head.store(head);
        MarkProgress(reader, head);
        if (head - reader.tail.load() >= reader.chunkSize && !reader.signalled.exchange(true)) {
            SetEvent(reader.arrived.get());
        }
    }
}

DWORD WINAPI HelperThread(void* parameter) {
    BodyReader* reader = static_cast<BodyReader*>(parameter);
    for (;;) {
        WaitForSingleObject(reader->start.get(), INFINITE);
        if (reader->quit) {
            delete reader;
            return 0;
        }
        if (reader->send) {
            Send(*reader);
            continue;
        }
        ReadBody(*reader);
        reader->ended.store(true);
        SetEvent(reader->arrived.get());
        Release(reader);
    }
}

// A parked helper, or a new one; null when none could be started, with error set.
BodyReader* TakeHelper(DWORD& error) {
    if (BodyReader* reader = parked.exchange(nullptr)) {
        return reader;
    }
    auto reader = std::make_unique<BodyReader>();
    reader->ring.reset(new char[2 * kTransferBufferSize]);
    reader->start.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    reader->arrived.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    reader->room.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    HANDLE thread = reader->start && reader->arrived && reader->room
                        ? CreateThread(nullptr, 0, HelperThread, reader.get(), 0, nullptr)
                        : nullptr;
    if (!thread) {
        error = GetLastError();
        return nullptr;
    }
    CloseHandle(thread);
    return reader.release();
}

}  // namespace

bool SendOnHelper(HttpsRequest& handles, DWORD timeoutMs, DWORD& error) {
    BodyReader* reader = TakeHelper(error);
    if (!reader) {
        bool sent = SendAndReceive(handles.request);
        error = sent ? 0 : GetLastError();
        return sent;
    }
    reader->handles = handles;
    reader->send = true;
    reader->sendState.store(kSending);
    ResetEvent(reader->arrived.get());
    SetEvent(reader->start.get());
    for (uint64_t deadline = GetTickCount64() + timeoutMs; reader->sendState.load() != kSent;) {
        uint64_t now = GetTickCount64();
        int sending = kSending;
        if (now >= deadline && reader->sendState.compare_exchange_strong(sending, kGivenUp)) {
            handles = HttpsRequest();
            error = ERROR_WINHTTP_TIMEOUT;
            return false;
        }
        WaitForSingleObject(reader->arrived.get(), static_cast<DWORD>(deadline > now ? deadline - now : 0));
    }
    bool sent = reader->sent;
    error = reader->error;
    reader->handles = HttpsRequest();
    Park(reader);
    return sent;
}

BodyReaderHandle StartBodyReader(HttpsRequest& handles, uint32_t chunkSize, DWORD& error) {
    BodyReader* reader = TakeHelper(error);
    if (!reader) {
        return BodyReaderHandle(nullptr, &StopBodyReader);
    }
    reader->handles = handles;
    handles = HttpsRequest();
    reader->send = false;
    reader->chunkSize = std::min<uint64_t>(std::max<uint32_t>(chunkSize, 1), kTransferBufferSize);
    reader->head.store(0);
    reader->tail.store(0);
    reader->markBytes.store(0);
    reader->markTick.store(GetTickCount64());
    reader->signalled.store(false);
    reader->ended.store(false);
    reader->stopped.store(false);
    reader->failed = false;
    reader->error = 0;
    reader->owners.store(2);
    ResetEvent(reader->arrived.get());
    ResetEvent(reader->room.get());
    SetEvent(reader->start.get());
    return BodyReaderHandle(reader, &StopBodyReader);
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
    uint64_t tail = reader.tail.load();
    reader.tail.store(tail + size);
    // Only a full ring makes the helper wait, and then its head stays where the old tail let it go.
    if (reader.head.load() - tail == 2 * reader.chunkSize) {
        SetEvent(reader.room.get());
    }
}

void StopBodyReader(BodyReader* reader) {
    reader->stopped.store(true);
    SetEvent(reader->room.get());
    Release(reader);
}
