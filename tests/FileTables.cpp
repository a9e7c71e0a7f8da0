#include <windows.h>

#include <filesystem>
#include <string>

#include "Harness.h"
#include "net/Sha256.h"
#include "support/TextEncoding.h"
#include "support/UpdateLog.h"
#include "update/InstalledVersion.h"

TEST_F(InFolder, InstalledVersionAsStored) {
    const std::wstring file = folder + L"\\launcher-version.txt";
    // Bytes "-": no file.
    const struct { std::string bytes; std::wstring version; } cases[] = {
        {"-", L"0.0.1"}, {"1.4.2\n", L"1.4.2"}, {"1.4.2", L"1.4.2"}, {"1.4.2\r\n", L"1.4.2\r"}, {"", L"0.0.1"},
        {"1.4.2\n9.9.9\n", L"1.4.2"}, {" 1.4.2 \n", L" 1.4.2 "}, {"\xEF\xBB\xBF" "1\n", L"\xFEFF" L"1"},
        {"\xD0\xB2\x31\n", L"в1"}, {"\n1.4.2\n", L"0.0.1"}, {"1.\xC3\x28\n", L"0.0.1"}};
    for (const auto& c : cases) {
        c.bytes == "-" ? (void)DeleteFileW(file.c_str()) : WriteBytes(file, c.bytes);
        EXPECT_EQ(ReadInstalledVersion(folder), c.version) << c.bytes;
    }
    // Written with a bare line feed through the temporary file, a stale one included; over a
    // read-only file too (Windows refuses that move, Wine 8 allows it, so only Windows needs the mend).
    WriteBytes(file + L".download", "garbage that is longer than the version");
    ASSERT_TRUE(WriteInstalledVersion(folder, L"2.0-бета"));
    EXPECT_EQ(ReadBytes(file), "2.0-\xD0\xB1\xD0\xB5\xD1\x82\xD0\xB0\n");
    EXPECT_FALSE(FileExists(file + L".download"));
    SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(WriteInstalledVersion(folder, L"1.4.2"));
    // Failed writes keep the old version: a missing folder, a target held open without delete sharing.
    // (The temporary name taken by a folder is a row of the session table: the version is not saved.)
    EXPECT_FALSE(WriteInstalledVersion(folder + L"\\нет", L"9"));
    HANDLE holder = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_FALSE(WriteInstalledVersion(folder, L"9"));
    CloseHandle(holder);
    EXPECT_EQ(ReadBytes(file), "1.4.2\n");
}

// CNG does the hashing; what is ours is reading the file in chunks and writing the digest as
// lower-case hex: an empty file, and a file that spans many chunks unevenly.
TEST_F(InFolder, Sha256OfFile) {
    const std::string cases[][2] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {TestBytes(5 * 1048576 + 17, 1), "add5f35155b492f4a003cfee37e671c0e3777cec7898f30218d5ed3c33433af1"},
    };
    std::wstring path = folder + L"\\данные.bin";
    for (const auto& c : cases) {
        WriteBytes(path, c[0]);
        EXPECT_EQ(WideToUtf8(Sha256OfFile(path)), c[1]) << c[0].size() << " bytes";
    }
    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(Sha256OfFile(path), L"") << "a file being written without read sharing is not hashed";
    CloseHandle(writer);
    EXPECT_EQ(Sha256OfFile(folder + L"\\missing.bin") + Sha256OfFile(folder), L"") << "missing, or a folder";
}

// CTest runs each test in a process of its own, so no StartLog has happened before this one.
TEST_F(InFolder, UpdateLog) {
    std::wstring logFile = folder + L"\\launcher-update.log";
    std::filesystem::current_path(folder);
    AppendLogLine(L"too early");
    EXPECT_FALSE(FileExists(logFile)) << "nothing is written before the log is started";
    WriteBytes(logFile, "an earlier session\n");
    StartLog(folder);  // a new session empties the log
    AppendLogLine(L"Deleted obsolete file: Карта.pak");
    // Another program reading the log meanwhile loses no line; one that locks it costs only the lines.
    HANDLE reader = CreateFileW(logFile.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    AppendLogLine(std::wstring(1, wchar_t(0xD800)));
    CloseHandle(reader);
    HANDLE locker = CreateFileW(logFile.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    AppendLogLine(L"lost");
    CloseHandle(locker);
    AppendLogLine(L"");
    EXPECT_EQ(ReadBytes(logFile), "Deleted obsolete file: \xD0\x9A\xD0\xB0\xD1\x80\xD1\x82\xD0\xB0.pak\n\xEF\xBF\xBD\n\n");
    std::filesystem::current_path(std::filesystem::temp_directory_path());
}
