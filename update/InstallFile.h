#pragma once
#include <cstdint>
#include <string>

#include "support/Progress.h"
#include "update/InstalledVersion.h"
#include "update/Manifest.h"

// Makes the entry's file current: skipped when it already matches, otherwise downloaded into
// "<target>.download", checked by size and SHA-256 and moved over the target in one step, the
// update recorded as pending before that move. A resumed download that fails the check is
// downloaded once more from its first byte.
bool InstallFile(const std::wstring& installFolder, const ManifestFile& entry, uint64_t bytesBefore,
                 uint64_t bytesTotal, ProgressCallback progress, void* progressContext, const std::wstring& statusText,
                 PendingUpdate& pending);
