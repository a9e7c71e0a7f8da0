#pragma once
#include <cstdint>
#include <string>

// Called on the worker thread only; the text is borrowed for the call, the context is opaque.
using ProgressCallback = void (*)(uint32_t percent, const std::wstring& statusText, void* context);

// a + b, held at the largest value instead of wrapping round to a small one.
inline uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
    return b > UINT64_MAX - a ? UINT64_MAX : a + b;
}

// done * 100 / total, rounded down and uncapped (done may pass total); 0 when total is 0. Exact for
// every 64-bit size: the product is taken in 128 bits.
inline uint64_t SharePercent(uint64_t done, uint64_t total) {
    __extension__ typedef unsigned __int128 Wide;
    if (total == 0) {
        return 0;
    }
    Wide share = static_cast<Wide>(done) * 100 / total;
    return share > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(share);
}

// What the progress bar may show: at most 100, capped before it is narrowed so it cannot wrap.
inline uint32_t CappedPercent(uint64_t percent) {
    return static_cast<uint32_t>(percent > 100 ? 100 : percent);
}

// The session's figure before entry installed + 1 of count: the byte share when the entries give
// sizes, else the share of entries done.
inline uint32_t SessionPercent(uint64_t bytesBefore, uint64_t bytesTotal, uint64_t installed, uint64_t count) {
    return CappedPercent(bytesTotal != 0 ? SharePercent(bytesBefore, bytesTotal) : SharePercent(installed, count));
}
