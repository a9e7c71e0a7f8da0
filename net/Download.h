#pragma once
#include <cstdint>
#include <string>

#include "support/Progress.h"

// Downloads path into the temporary file, resuming from what it already holds, with up to 64 attempts.
// True when the file holds the whole resource (exactly expectedSize bytes when that is not 0). The
// temporary file is never deleted or moved here.
bool DownloadToFile(const std::wstring& path, const std::wstring& temporaryPath, uint64_t expectedSize,
                    uint64_t bytesBefore, uint64_t bytesTotal, ProgressCallback progress, void* progressContext,
                    const std::wstring& statusText);
// Appends the whole body of a 200 response to body, in one attempt.
bool FetchToMemory(const std::wstring& path, std::string& body);
