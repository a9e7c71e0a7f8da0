#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "TestFiles.h"
#include "net/Sha256.h"

namespace {

std::string RepeatedPattern(size_t length) {
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<char>(i % 251);
    }
    return bytes;
}

struct DigestCase {
    const char* name;
    std::string contents;
    const wchar_t* digest;
};

}  // namespace

TEST(Sha256, KnownVectors) {
    const DigestCase cases[] = {
        {"empty file", "", L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"two-block message", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         L"248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"exactly one read buffer", std::string(1048576, 'a'),
         L"9bc1b2a288b26af7257a36277ae3816a7d4f16e89c1e7e77d0a5c48bad62b360"},
        {"several MiB, short last block", RepeatedPattern(5 * 1048576 + 17),
         L"d97ad7b4df620ac2f558898cac08bab937b11379eb177b0a3afa05d8a747acfb"},
    };
    std::wstring folder = MakeTestFolder();
    for (const DigestCase& c : cases) {
        std::wstring path = folder + L"\\данные.bin";
        WriteBytes(path, c.contents);
        EXPECT_EQ(Sha256OfFile(path), c.digest) << c.name;
    }
    RemoveTestFolder(folder);
}

TEST(Sha256, FailuresGiveEmptyText) {
    std::wstring folder = MakeTestFolder();
    EXPECT_EQ(Sha256OfFile(folder + L"\\missing.bin"), L"");
    EXPECT_EQ(Sha256OfFile(folder), L"") << "a folder is not a file";

    // A writer without read sharing must not be hashed mid-change.
    std::wstring locked = folder + L"\\locked.bin";
    WriteBytes(locked, "abc");
    HANDLE writer = CreateFileW(locked.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Sha256OfFile(locked), L"");
    CloseHandle(writer);
    EXPECT_EQ(Sha256OfFile(locked), L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    RemoveTestFolder(folder);
}
