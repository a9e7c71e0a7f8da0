// The probes go out through libcurl's multi interface, so a whole tree is checked with a few
// transfers at a time on one thread; bodies are digested as they arrive, never stored whole.
#include "publisher/HttpProbe.h"

#include <curl/curl.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <list>
#include <memory>

#include "net/UserAgent.h"
#include "publisher/ProgressLine.h"
#include "publisher/Store.h"

namespace {

// The launcher's WinHTTP time-outs: 15 s to connect, 30 s without a byte.
constexpr long kConnectSeconds = 15;
constexpr long kSilentSeconds = 30;
constexpr long kMostRedirects = 10;
constexpr int kPollMs = 100;

using Easy = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
using Headers = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;
using Digest = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

struct Transfer {
    HttpProbe* probe;
    Easy easy{nullptr, &curl_easy_cleanup};
    Headers headers{nullptr, &curl_slist_free_all};
    Digest whole{EVP_MD_CTX_new(), &EVP_MD_CTX_free};
    Digest span{EVP_MD_CTX_new(), &EVP_MD_CTX_free};
    bool stopped = false;
    char errorText[CURL_ERROR_SIZE] = "";
};

std::string Hex(EVP_MD_CTX* context) {
    unsigned char raw[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context, raw, &length);
    return HexText(raw, length);
}

size_t OnBody(char* data, size_t one, size_t count, void* user) {
    Transfer& t = *static_cast<Transfer*>(user);
    HttpProbe& p = *t.probe;
    size_t size = one * count;
    size_t take = static_cast<size_t>(std::min<uint64_t>(size, p.stopAfter - p.received));
    uint64_t from = std::max(p.received, p.spanFrom), to = std::min(p.received + take, p.spanFrom + p.spanBytes);
    if (from < to) {
        EVP_DigestUpdate(t.span.get(), data + (from - p.received), static_cast<size_t>(to - from));
    }
    EVP_DigestUpdate(t.whole.get(), data, take);
    if (p.keepBody) {
        p.body.append(data, take);
    }
    p.received += take;
    // Returning less than was given ends the transfer: all that is needed has been seen.
    t.stopped = take < size;
    return take;
}

size_t OnHeader(char* data, size_t one, size_t count, void* user) {
    HttpProbe& p = *static_cast<Transfer*>(user)->probe;
    std::string line(data, one * count);
    size_t colon = line.find(':');
    if (line.rfind("HTTP/", 0) == 0) {
        p.headers.clear();  // a redirect's or an interim answer's headers are not the final answer's
    } else if (colon != std::string::npos) {
        std::string name = line.substr(0, colon), value = line.substr(colon + 1);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t\r\n") + 1);
        std::string& all = p.headers[name];
        all += (all.empty() ? "" : ", ") + value;
    }
    return one * count;
}

bool Start(CURLM* multi, const std::string& base, const std::string& caFile, Transfer& t) {
    HttpProbe& p = *t.probe;
    t.easy.reset(curl_easy_init());
    // WinHTTP sends these and no Accept; curl's own Accept is taken out.
    for (std::string header : {std::string("Accept:"), std::string("Connection: Keep-Alive"),
                               p.ranged ? "Range: bytes=" + std::to_string(p.rangeFrom) + "-" : std::string(),
                               p.offerEncoding ? std::string("Accept-Encoding: gzip, br") : std::string()}) {
        curl_slist* grown = header.empty() ? t.headers.get() : curl_slist_append(t.headers.get(), header.c_str());
        if (!grown) {
            return false;
        }
        t.headers.release();  // the same list, one longer
        t.headers.reset(grown);
    }
    EVP_DigestInit_ex(t.whole.get(), EVP_sha256(), nullptr);
    EVP_DigestInit_ex(t.span.get(), EVP_sha256(), nullptr);
    CURL* e = t.easy.get();
    bool ok = e && t.headers && t.whole && t.span && curl_easy_setopt(e, CURLOPT_URL, (base + p.path).c_str()) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_HTTPHEADER, t.headers.get()) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_USERAGENT, ORVANE_USER_AGENT) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "https") == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&  // as WinHTTP does
              curl_easy_setopt(e, CURLOPT_MAXREDIRS, kMostRedirects) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, kConnectSeconds) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, kSilentSeconds) == CURLE_OK &&
              (caFile.empty() || curl_easy_setopt(e, CURLOPT_CAINFO, caFile.c_str()) == CURLE_OK) &&
              curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.errorText) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, OnBody) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_WRITEDATA, &t) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, OnHeader) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_HEADERDATA, &t) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_PRIVATE, &t) == CURLE_OK && curl_multi_add_handle(multi, e) == CURLM_OK;
    return ok;
}

void Finish(CURLM* multi, Transfer& t, CURLcode result) {
    HttpProbe& p = *t.probe;
    curl_easy_getinfo(t.easy.get(), CURLINFO_RESPONSE_CODE, &p.status);
    if (result != CURLE_OK && !(result == CURLE_WRITE_ERROR && t.stopped)) {
        std::string why = t.errorText[0] ? t.errorText : curl_easy_strerror(result);
        // The two a team meets first, said as what they are.
        p.error = result == CURLE_COULDNT_RESOLVE_HOST ? "unknown host (" + why + "): is the name right, and in DNS?"
                  : result == CURLE_PEER_FAILED_VERIFICATION
                      ? "its certificate is not trusted (" + why + "): is it for this name, and from a public "
                        "authority (or one --ca-file holds)?"
                      : why;
    }
    p.sha256 = Hex(t.whole.get());
    p.spanSha256 = Hex(t.span.get());
    curl_multi_remove_handle(multi, t.easy.get());
}

}  // namespace

bool RunProbes(const std::string& base, const std::string& caFile, std::vector<HttpProbe>& probes, size_t parallel,
               std::string& error) {
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> multi(initialised ? curl_multi_init() : nullptr,
                                                                &curl_multi_cleanup);
    if (!multi) {
        error = "libcurl cannot start";
        return false;
    }
    uint64_t total = 0;
    for (const HttpProbe& p : probes) {
        total += p.expectBytes;
    }
    ProgressLine progress = StartProgress();
    std::list<Transfer> running;
    size_t next = 0;
    while (next < probes.size() || !running.empty()) {
        while (running.size() < parallel && next < probes.size()) {
            running.push_back(Transfer{&probes[next++]});
            if (!Start(multi.get(), base, caFile, running.back())) {
                error = "libcurl cannot start a request for " + running.back().probe->path;
                return false;
            }
        }
        int active = 0, left = 0;
        curl_multi_perform(multi.get(), &active);
        while (CURLMsg* message = curl_multi_info_read(multi.get(), &left)) {
            if (message->msg != CURLMSG_DONE) {
                continue;
            }
            Transfer* t = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &t);
            CURLcode result = message->data.result;  // read before the handle goes
            Finish(multi.get(), *t, result);
            running.remove_if([t](const Transfer& r) { return &r == t; });
        }
        curl_multi_poll(multi.get(), nullptr, 0, kPollMs, nullptr);
        uint64_t done = 0;
        for (const HttpProbe& p : probes) {
            done += std::min(p.received, p.expectBytes);
        }
        ShowProgress(progress, "checking", done, total);
    }
    EndProgress(progress, true);
    return true;
}
