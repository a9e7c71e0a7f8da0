#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

// A fresh folder per test whose name holds Cyrillic letters and a blank, so every test also proves
// that such installation folders work; removed in TearDown, which runs also after a failed assertion.
class InFolder : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::wstring folder;
};

// path is absolute; folders on the way are created.
void WriteBytes(const std::wstring& path, const std::string& bytes);
// Empty when the file cannot be read; use FileExists to tell the two apart.
std::string ReadBytes(const std::wstring& path);
bool FileExists(const std::wstring& path);
// folder + '\' + relative, with '/' turned into '\'.
std::wstring InPath(const std::wstring& folder, const std::string& relative);
std::vector<std::string> ReadLines(const std::wstring& path);

// Deterministic bytes that differ for every seed, and their SHA-256 as 64 lower-case hex digits.
std::string TestBytes(size_t size, unsigned seed);
std::string DigestOf(const std::string& bytes);
// One manifest file entry: size is the byte count unless given, digest that of the bytes unless given.
std::string Entry(const std::string& path, const std::string& url, const std::string& bytes, const char* size = nullptr,
                  const std::string& digest = "");
std::string Manifest(const std::string& version, bool mandatory, const std::vector<std::string>& entries,
                     const std::vector<std::string>& deleted = {});

// The fault server (https://127.0.0.2, which the engine of these tests is linked to) serves these bytes
// at url.
void PutServed(const std::string& url, const std::string& bytes);
// Empties the request log, so a test sees only its own requests, and sets the fault server's rules,
// one a line: "<path> cut N", "<path> norange", "<path> status N", "<path> hang", and those of the link
// in front of it (tests/servers/link_emulator.py): "link reset N", "link stall S N", "link refuse".
void ResetServer(const std::string& rules = "");
// The requests logged so far, each "path|Range header|method|user agent|names of all headers, sorted";
// waits briefly for the server to log the expected count.
std::vector<std::string> Requests(size_t expected);
