#pragma once
#include <cstdint>

// Built for the launcher and the publisher alike. The longest manifest the launcher reads: 256 MiB,
// about a million files at the length of entry the publisher writes (a 400,000-file build measured
// 93 MB). The fetch happens before any signature check, so without a limit a hostile host could make
// it hold any number of bytes; the publisher refuses to serve a manifest past it.
constexpr uint64_t kMaxManifestBytes = 268435456;
