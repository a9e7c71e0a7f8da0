#include <windows.h>

#include <filesystem>
#include <string>

#include "Harness.h"
#include "net/Sha256.h"
#include "support/TextEncoding.h"
#include "support/UpdateLog.h"
#include "update/InstalledVersion.h"

TEST_F(InFolder, InstalledVersionAsStored) {
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
    std::wstring file = folder + L"\\launcher-version.txt";
    EXPECT_EQ(ReadInstalledVersion(folder), L"0.0.1") << "missing file";
    for (const auto& c : cases) {
        WriteBytes(file, c.bytes);
        EXPECT_EQ(ReadInstalledVersion(folder), c.version) << c.name;
    }
    // Written with a bare line feed through the temporary file, a stale one included.
    WriteBytes(file + L".download", "garbage that is longer than the version");
    ASSERT_TRUE(WriteInstalledVersion(folder, L"2.0-бета"));
    EXPECT_EQ(ReadBytes(file), "2.0-\xD0\xB1\xD0\xB5\xD1\x82\xD0\xB0\n");
    EXPECT_FALSE(FileExists(file + L".download"));
    // Windows refuses to move over a read-only file; Wine 8 allows it, so only Windows needs the mend.
    ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(WriteInstalledVersion(folder, L"1.4.2"));
    EXPECT_EQ(ReadBytes(file), "1.4.2\n");

    // Failed writes keep the old version: the temporary name taken by a folder (as root on the host a
    // read-only folder would not stop Wine), a missing folder, a target held open without delete sharing.
    std::filesystem::create_directory(file + L".download");
    EXPECT_FALSE(WriteInstalledVersion(folder, L"9"));
    EXPECT_FALSE(WriteInstalledVersion(folder + L"\\нет", L"9"));
    std::filesystem::remove(file + L".download");
    HANDLE holder = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_FALSE(WriteInstalledVersion(folder, L"9"));
    CloseHandle(holder);
    EXPECT_EQ(ReadBytes(file), "1.4.2\n");
}

TEST_F(InFolder, Sha256OfFile) {
    std::string pattern(5 * 1048576 + 17, '\0');
    for (size_t i = 0; i < pattern.size(); ++i) {
        pattern[i] = static_cast<char>(i % 251);
    }
    const struct {
        const char* name;
        std::string contents;
        const wchar_t* digest;
    } cases[] = {
        {"empty file", "", L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"two blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         L"248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"exactly one read buffer", std::string(1048576, 'a'),
         L"9bc1b2a288b26af7257a36277ae3816a7d4f16e89c1e7e77d0a5c48bad62b360"},
        {"several MiB, short last block", pattern, L"d97ad7b4df620ac2f558898cac08bab937b11379eb177b0a3afa05d8a747acfb"},
    };
    std::wstring path = folder + L"\\данные.bin";
    for (const auto& c : cases) {
        WriteBytes(path, c.contents);
        EXPECT_EQ(Sha256OfFile(path), c.digest) << c.name;
    }
    EXPECT_EQ(Sha256OfFile(folder + L"\\missing.bin"), L"");
    EXPECT_EQ(Sha256OfFile(folder), L"") << "a folder is not a file";
    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(Sha256OfFile(path), L"") << "a file being written without read sharing is not hashed";
    CloseHandle(writer);
}

// CTest runs each test in a process of its own, so no StartLog has happened before this one.
TEST_F(InFolder, UpdateLog) {
    std::wstring logFile = folder + L"\\launcher-update.log";
    std::wstring previous = std::filesystem::current_path().wstring();
    std::filesystem::current_path(folder);
    AppendLogLine(L"too early");
    EXPECT_FALSE(FileExists(logFile)) << "nothing is written before the log is started";
    StartLog(L"");
    AppendLogLine(L"Orvane update session started.");
    std::filesystem::current_path(previous);
    EXPECT_EQ(ReadBytes(logFile), "Orvane update session started.\n") << "an empty folder logs to the current one";

    StartLog(folder);
    EXPECT_EQ(ReadBytes(logFile), "") << "a new session empties the log";
    AppendLogLine(L"Deleted obsolete file: Карта.pak");
    AppendLogLine(std::wstring(1, wchar_t(0xD800)));
    // Another program reading or writing the log meanwhile does not make lines disappear...
    HANDLE reader = CreateFileW(logFile.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    AppendLogLine(L"");
    CloseHandle(reader);
    std::string expected = "Deleted obsolete file: \xD0\x9A\xD0\xB0\xD1\x80\xD1\x82\xD0\xB0.pak\n\xEF\xBF\xBD\n\n";
    EXPECT_EQ(ReadBytes(logFile), expected);
    // ...and one that locks it only costs the lines; nothing breaks.
    HANDLE locker = CreateFileW(logFile.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    AppendLogLine(L"lost");
    CloseHandle(locker);
    EXPECT_EQ(ReadBytes(logFile), expected);
}
