#pragma once
#include <cstdint>
#include <string>

#include "support/Progress.h"

// Downloads path into the temporary file, resuming from what it already holds, with up to 64 attempts;
// an attempt whose body brings fewer than 1,024 bytes in 30 s ends like a read that failed.
// True when the file holds the whole resource (exactly expectedSize bytes when that is not 0). The
// temporary file is never deleted or moved here.
bool DownloadToFile(const std::wstring& path, const std::wstring& temporaryPath, uint64_t expectedSize,
                    uint64_t bytesBefore, uint64_t bytesTotal, ProgressCallback progress, void* progressContext,
                    const std::wstring& statusText);
// Appends the whole body of a 200 response to body, in one attempt. A body past kMaxManifestBytes
// (support/ManifestLimit.h), announced or received, is refused as soon as that is known: false with
// tooLarge set. A link too slow to bring 1,024 bytes in 30 s fails the fetch like any read.
bool FetchToMemory(const std::wstring& path, std::string& body, bool& tooLarge);
