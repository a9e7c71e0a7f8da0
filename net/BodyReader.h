#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>

#include "net/HttpsRequest.h"

// A request's waits on the link, done on a helper thread so that the worker can give up on a link that
// drips: WinHTTP returns from a read only once a whole TLS record has arrived, and a link that brings a
// byte every few seconds never trips its time-outs, in the handshake, the headers or the body. For the
// body the helper fills a ring of two transfer buffers while the worker takes what has arrived. The
// helper writes no log line.
struct BodyReader;
void StopBodyReader(BodyReader* reader);
using BodyReaderHandle = std::unique_ptr<BodyReader, decltype(&StopBodyReader)>;

// The largest chunk handed out, and the size of each of the ring's two buffers.
constexpr uint32_t kTransferBufferSize = 1048576;
// Fewer body bytes than this over kSlowWindowMs abandon the body as too slow.
constexpr uint64_t kSlowWindowBytes = 1024;
constexpr uint64_t kSlowWindowMs = 30000;

enum class BodyEvent { Bytes, Ended, Failed, TooSlow };

// Sends the request and waits for its response headers on a helper, for at most timeoutMs; true when the
// headers came. False: error is the failed call's GetLastError(), or ERROR_WINHTTP_TIMEOUT when the time
// ran out, and then the handles are the helper's (closed when its call returns) and handles is emptied.
// Without a helper (none could be started) it waits on the caller's thread.
bool SendOnHelper(HttpsRequest& handles, DWORD timeoutMs, DWORD& error);
// Hands the request's handles to a helper thread (a waiting one, or a new one) that reads the body in
// chunks of up to chunkSize bytes (at most kTransferBufferSize); the handles are closed when both are
// done. Empty when no thread could be started: the handles are then still the caller's, and error
// holds GetLastError().
BodyReaderHandle StartBodyReader(HttpsRequest& handles, uint32_t chunkSize, DWORD& error);
// Waits for a chunk's worth of bytes, the end of the body, or a window of kSlowWindowMs that brought
// fewer than kSlowWindowBytes. Bytes: bytes and size point at what has arrived (handed out before any
// end is); Failed: error is the read's GetLastError(); TooSlow: size is what the window brought.
BodyEvent NextBodyBytes(BodyReader& reader, const char*& bytes, uint32_t& size, DWORD& error);
// The bytes NextBodyBytes handed out have been used: their room goes back to the helper.
void ReleaseBodyBytes(BodyReader& reader, uint32_t size);
// StopBodyReader: the worker is done with the body. A helper blocked in WinHTTP ends, and closes the
// handles, when its call returns; nothing it reads after this is used.
