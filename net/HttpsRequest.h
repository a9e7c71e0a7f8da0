#pragma once
#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <string>

// The three handles of one request; each stays null until its step has succeeded.
struct HttpsRequest {
    HINTERNET session = nullptr;
    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;
};

// GET path from the update server on port 443, from byte offset on when it is above 0; true when the
// headers arrived with 200 (offset 0) or 206 (offset above 0), within what the time-outs allow step by
// step. Never closes handles: the caller does (a request given up then is the helper's, handles empty).
bool OpenHttpsRequest(const std::wstring& path, HttpsRequest& handles, uint64_t offset);
// Closes whatever is open, request first.
void CloseHttpsRequest(HttpsRequest& handles);
