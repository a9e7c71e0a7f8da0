#include "net/HttpsRequest.h"

#include "net/BodyReader.h"
#include "net/ServerHost.h"
#include "net/UserAgent.h"
#include "support/TextEncoding.h"
#include "support/UpdateLog.h"

namespace {

constexpr wchar_t kUserAgent[] = L"" ORVANE_USER_AGENT;
constexpr INTERNET_PORT kServerPort = 443;
constexpr int kResolveTimeoutMs = 15000;
constexpr int kConnectTimeoutMs = 15000;
constexpr int kSendTimeoutMs = 30000;
constexpr int kReceiveTimeoutMs = 30000;
// Each of WinHTTP's time-outs starts again with every byte, so a link that drips the handshake or the
// headers holds a request for ever; what the time-outs allow step by step is all a request may take.
constexpr DWORD kOpenDeadlineMs = kResolveTimeoutMs + kConnectTimeoutMs + kSendTimeoutMs + kReceiveTimeoutMs;
constexpr DWORD kAccessTypeAutomaticProxy = 4;  // WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, newer than mingw's headers

void LogError(const wchar_t* prefix, DWORD error) {
    AppendLogLine(prefix + DecimalText(error));
}

}  // namespace

bool OpenHttpsRequest(const std::wstring& path, HttpsRequest& handles, uint64_t offset) {
    AppendLogLine(L"Opening HTTPS request: " + path);
    handles.session = WinHttpOpen(kUserAgent, kAccessTypeAutomaticProxy, WINHTTP_NO_PROXY_NAME,
                                  WINHTTP_NO_PROXY_BYPASS, 0);
    if (!handles.session) {
        LogError(L"WinHttpOpen failed: ", GetLastError());
        return false;
    }
    WinHttpSetTimeouts(handles.session, kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs);
    handles.connection = WinHttpConnect(handles.session, kUpdateServerHost, kServerPort, 0);
    if (!handles.connection) {
        LogError(L"WinHttpConnect failed: ", GetLastError());
        return false;
    }
    handles.request = WinHttpOpenRequest(handles.connection, L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                         WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    if (!handles.request) {
        LogError(L"WinHttpOpenRequest failed: ", GetLastError());
        return false;
    }
    // The receive time-out alone does not bound the wait for response headers (Wine waits forever,
    // Windows 90 s), so a server that accepts and never answers would stall the session.
    DWORD headersTimeout = kReceiveTimeoutMs;
    WinHttpSetOption(handles.request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headersTimeout, sizeof(headersTimeout));
    if (offset > 0) {
        std::wstring range = L"Range: bytes=" + DecimalText(offset) + L"-";
        if (!WinHttpAddRequestHeaders(handles.request, range.c_str(), static_cast<DWORD>(-1),
                                      WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
            LogError(L"Range header failed: ", GetLastError());
            return false;
        }
        AppendLogLine(L"Resuming from byte: " + DecimalText(offset));
    }
    DWORD error = 0;
    if (!SendOnHelper(handles, kOpenDeadlineMs, error)) {
        LogError(L"Send/receive response failed: ", error);
        return false;
    }
    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    bool queried = WinHttpQueryHeaders(handles.request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                       WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX);
    if (!queried) {
        status = 0;
    }
    AppendLogLine(L"HTTPS response status: " + DecimalText(status));
    return queried && status == (offset == 0 ? 200u : 206u);
}

void CloseHttpsRequest(HttpsRequest& handles) {
    if (handles.request) {
        WinHttpCloseHandle(handles.request);
        handles.request = nullptr;
    }
    if (handles.connection) {
        WinHttpCloseHandle(handles.connection);
        handles.connection = nullptr;
    }
    if (handles.session) {
        WinHttpCloseHandle(handles.session);
        handles.session = nullptr;
    }
}
