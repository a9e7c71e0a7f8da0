#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "support/FileHandle.h"

// What this installation accepted last from a signed manifest, in launcher-manifest-serial.txt: the
// serial, the key that signed it and the SHA-256 of the signed bytes, one a line.
struct AcceptedManifest {
    uint64_t serial = 0;  // 0: nothing recorded
    std::string key;      // the public line of the key; empty in a record written before it was kept
    std::string digest;   // lower-case hex; empty likewise
};

// Takes the record's exclusive hold (its temporary file, which no other launcher can open meanwhile),
// waiting briefly for one that holds it; empty when it cannot be had, with error set.
FileHandle HoldManifestRecord(const std::wstring& installFolder, DWORD& error);
// Reads the record; true with serial 0 when there is none. False when one is there but cannot be
// read, with error set: taken for none, the next write would lower it.
bool ReadManifestRecord(const std::wstring& installFolder, AcceptedManifest& record, DWORD& error);
// Replaces the record whole through the hold (written, flushed, then renamed over it); the hold is
// spent either way.
bool WriteManifestRecord(FileHandle& hold, const std::wstring& installFolder, const AcceptedManifest& record);
// Lets go of a hold that wrote nothing, leaving no temporary file behind.
void ReleaseManifestRecord(FileHandle& hold);
