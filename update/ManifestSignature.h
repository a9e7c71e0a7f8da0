#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "update/Manifest.h"

// Built for the launcher and for the publisher alike: both must agree to the byte on what is signed.

// What a manifest's signature covers: the values the launcher's scanner read (not the text, so that
// no first-occurrence trick can make it act on anything else), each framed by its length, after a
// prefix that no other signed text of ours starts with.
std::string SignedManifestBytes(const UpdateManifest& manifest, uint64_t serial);
// The serial and the base64 signature a manifest carries, found as the scanner finds any value
// (the publisher writes them before the file list, where no file name can stand before them);
// false when either is missing (the publisher's serials start above 0) or the serial does not fit 64 bits.
bool FindManifestSeal(std::string_view text, uint64_t& serial, std::string& signature);
