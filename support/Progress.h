#pragma once
#include <cstdint>
#include <string>

// Called on the worker thread only; the text is borrowed for the call, the context is opaque.
using ProgressCallback = void (*)(uint32_t percent, const std::wstring& statusText, void* context);

// a + b, held at the largest value instead of wrapping round to a small one.
inline uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
    return b > UINT64_MAX - a ? UINT64_MAX : a + b;
}

// done * 100 / total, rounded down and uncapped; 0 when total is 0. Sizes near 2^64 do not overflow.
inline uint64_t SharePercent(uint64_t done, uint64_t total) {
    if (total == 0) {
        return 0;
    }
    if (done <= UINT64_MAX / 100) {
        return done * 100 / total;
    }
    return done / (total / 100 == 0 ? 1 : total / 100);
}
