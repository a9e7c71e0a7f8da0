#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>

#include "TestFiles.h"
#include "update/InstalledVersion.h"

TEST(InstalledVersion, ReadsFirstLineAsStored) {
    const struct {
        const char* name;
        std::string bytes;
        std::wstring version;
    } cases[] = {
        {"plain", "1.4.2\n", L"1.4.2"},
        {"no line feed", "1.4.2", L"1.4.2"},
        {"carriage return stays", "1.4.2\r\n", L"1.4.2\r"},
        {"second line ignored", "1.4.2\n9.9.9\n", L"1.4.2"},
        {"blanks kept", " 1.4.2 \n", L" 1.4.2 "},
        {"byte order mark kept", "\xEF\xBB\xBF" "1.4.2\n", L"\xFEFF" L"1.4.2"},
        {"cyrillic", "\xD0\xB2\x31\n", L"в1"},
        {"empty file", "", L"0.0.1"},
        {"empty first line", "\n1.4.2\n", L"0.0.1"},
        {"invalid UTF-8", "1.\xC3\x28\n", L"0.0.1"},
    };
    std::wstring folder = MakeTestFolder();
    EXPECT_EQ(ReadInstalledVersion(folder), L"0.0.1") << "missing file";
    for (const auto& c : cases) {
        WriteBytes(folder + L"\\launcher-version.txt", c.bytes);
        EXPECT_EQ(ReadInstalledVersion(folder), c.version) << c.name;
    }
    RemoveTestFolder(folder);
}

TEST(InstalledVersion, WritesExactBytesAndReadsThemBack) {
    std::wstring folder = MakeTestFolder();
    std::wstring file = folder + L"\\launcher-version.txt";
    WriteBytes(file, "1.4.2\r\n");
    ASSERT_TRUE(WriteInstalledVersion(folder, L"1.4.2"));
    EXPECT_EQ(ReadBytes(file), "1.4.2\n") << "rewritten with a bare line feed";
    EXPECT_FALSE(FileExists(file + L".download"));

    ASSERT_TRUE(WriteInstalledVersion(folder, L"2.0-бета"));
    EXPECT_EQ(ReadBytes(file), "2.0-\xD0\xB1\xD0\xB5\xD1\x82\xD0\xB0\n");
    EXPECT_EQ(ReadInstalledVersion(folder), L"2.0-бета");

    // A stale temporary file from a failed earlier write is emptied and reused.
    WriteBytes(file + L".download", "garbage that is longer than the version");
    ASSERT_TRUE(WriteInstalledVersion(folder, L"3"));
    EXPECT_EQ(ReadBytes(file), "3\n");
    RemoveTestFolder(folder);
}

TEST(InstalledVersion, ReadOnlyVersionFileIsStillReplaced) {
    // Windows refuses to move over a read-only file, which would block every update; Wine 8 allows
    // the move, so under Wine this guards only against the write failing in some other way.
    std::wstring folder = MakeTestFolder();
    std::wstring file = folder + L"\\launcher-version.txt";
    WriteBytes(file, "1.0\n");
    ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(WriteInstalledVersion(folder, L"1.1"));
    EXPECT_EQ(ReadBytes(file), "1.1\n");
    RemoveTestFolder(folder);
}

TEST(InstalledVersion, FailedWriteKeepsOldVersion) {
    std::wstring folder = MakeTestFolder();
    std::wstring file = folder + L"\\launcher-version.txt";
    WriteBytes(file, "1.0\n");
    // The temporary name is taken by a folder, so the temporary file cannot be created. (Tests run as
    // root on the host, where a read-only folder would not stop Wine from creating files.)
    std::filesystem::create_directory(file + L".download");
    EXPECT_FALSE(WriteInstalledVersion(folder, L"1.1"));
    EXPECT_EQ(ReadBytes(file), "1.0\n");
    EXPECT_EQ(ReadInstalledVersion(folder), L"1.0");

    // A folder that does not exist at all.
    EXPECT_FALSE(WriteInstalledVersion(folder + L"\\нет", L"1.1"));

    // A target held open without delete sharing (a running tool) makes the move fail.
    std::filesystem::remove(file + L".download");
    HANDLE holder = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(WriteInstalledVersion(folder, L"1.2"));
    CloseHandle(holder);
    EXPECT_EQ(ReadBytes(file), "1.0\n");
    RemoveTestFolder(folder);
}
