#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "update/Manifest.h"

namespace {

const std::string kDigest(64, 'a');

std::string Entry(const std::string& path, const std::string& url, const std::string& extra = "") {
    return "{\"path\": \"" + path + "\", \"url\": \"" + url + "\", \"sha256\": \"" + kDigest + "\"" + extra + "}";
}

std::string Document(const std::string& files, const std::string& tail = "") {
    return "{\"version\": \"1.4.0\", \"files\": [" + files + "]" + tail + "}";
}

struct ParseCase {
    const char* name;
    std::string text;
    bool accepted;
};

}  // namespace

TEST(Manifest, AcceptsTheDocumentedExample) {
    std::string digest = "0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789abcdef";
    std::string text = "{\n  \"version\": \"1.4.0\",\n  \"mandatory\": true,\n  \"files\": [\n    {\"path\": "
                       "\"Content/Maps/harbor.pak\", \"url\": \"/updates/1.4.0/Content/Maps/harbor.pak\", \"sha256\": \"" +
                       digest + "\", \"size\": 750}\n  ],\n  \"deletedFiles\": [\"Content/Maps/harbor_old.pak\"]\n}\n";
    UpdateManifest m;
    ASSERT_TRUE(ParseManifest(text, m));
    EXPECT_EQ(m.version, L"1.4.0");
    EXPECT_TRUE(m.mandatory);
    ASSERT_EQ(m.files.size(), 1u);
    EXPECT_EQ(m.files[0].path, L"Content/Maps/harbor.pak");
    EXPECT_EQ(m.files[0].url, L"/updates/1.4.0/Content/Maps/harbor.pak");
    EXPECT_EQ(m.files[0].sha256, std::wstring(digest.begin(), digest.end()));
    EXPECT_EQ(m.files[0].size, 750u);
    EXPECT_EQ(m.deletedFiles, std::vector<std::wstring>{L"Content/Maps/harbor_old.pak"});
}

TEST(Manifest, AcceptAndRejectTable) {
    const ParseCase cases[] = {
        {"no version", "{\"files\": []}", false},
        {"empty version", "{\"version\": \"\", \"files\": []}", false},
        {"version without closing quote", "{\"version\": \"1.0", false},
        {"version not UTF-8", "{\"version\": \"1.\xC3\x28\", \"files\": []}", false},
        {"neither files nor patches", "{\"version\": \"1\"}", false},
        {"no [ after files", "{\"version\": \"1\", \"files\": {}}", false},
        {"no ] after [", "{\"version\": \"1\", \"files\": [" + Entry("a", "/updates/a"), false},
        {"object without }", "{\"version\": \"1\", \"files\": [{\"path\": \"a\"", false},
        {"] inside a url cuts the list", Document(Entry("a", "/updates/a]b")), false},
        {"empty path", Document(Entry("", "/updates/a")), false},
        {"empty url", Document(Entry("a", "")), false},
        {"path not UTF-8", Document(Entry("\xFF", "/updates/a")), false},
        {"sha256 of 63", Document("{\"path\": \"a\", \"url\": \"/u\", \"sha256\": \"" + std::string(63, 'a') + "\"}"),
         false},
        {"sha256 of 65", Document("{\"path\": \"a\", \"url\": \"/u\", \"sha256\": \"" + std::string(65, 'a') + "\"}"),
         false},
        {"sha256 of 64 non-hex", Document("{\"path\": \"a\", \"url\": \"/u\", \"sha256\": \"" + std::string(64, 'z') +
                                          "\"}"),
         true},
        {"} inside a value hides a later required key",
         Document("{\"path\": \"a}\", \"url\": \"/updates/a\", \"sha256\": \"" + kDigest + "\"}"), false},
        {"} inside a value hides only a later size",
         Document("{\"path\": \"a\", \"url\": \"/updates/a\", \"sha256\": \"" + kDigest + "\", \"x\": \"}\", "
                  "\"size\": 5}"),
         true},
        {"empty file list", Document(""), true},
        {"file list of non-objects", Document("1, \"x\", null"), true},
        {"deletedFiles without [", Document("", ", \"deletedFiles\": 5"), false},
        {"deletedFiles without ]", Document("", ", \"deletedFiles\": [\"a\""), false},
        {"deletedFiles empty string", Document("", ", \"deletedFiles\": [\"\"]"), false},
        {"deletedFiles unclosed string", Document("", ", \"deletedFiles\": [\"a]\"]"), false},
        {"deletedFiles not UTF-8", Document("", ", \"deletedFiles\": [\"\xC3\x28\"]"), false},
        {"deletedFiles empty array", Document("", ", \"deletedFiles\": []"), true},
        {"cut off after deletedFiles", "{\"version\": \"1\", \"files\": [], \"deletedFiles\": [\"a\"]", true},
        {"size that does not fit 64 bits", Document(Entry("a", "/updates/a", ", \"size\": 18446744073709551616")),
         false},
        {"largest size that fits", Document(Entry("a", "/updates/a", ", \"size\": 18446744073709551615")), true},
        {"many leading zeros still fit",
         Document(Entry("a", "/updates/a", ", \"size\": 000000000000000000000000000000001")), true},
    };
    for (const ParseCase& c : cases) {
        UpdateManifest m;
        EXPECT_EQ(ParseManifest(c.text, m), c.accepted) << c.name;
    }
}

TEST(Manifest, MandatoryIsExactText) {
    const struct {
        std::string fragment;
        bool mandatory;
    } cases[] = {
        {"\"mandatory\": true", true},  {"\"mandatory\":true", true},    {"\"mandatory\":  true", false},
        {"\"mandatory\" : true", false}, {"\"mandatory\":\ttrue", false}, {"\"mandatory\":\ntrue", false},
        {"\"mandatory\": false", false}, {"\"mandatory\": \"true\"", false},
    };
    for (const auto& c : cases) {
        UpdateManifest m;
        ASSERT_TRUE(ParseManifest("{\"version\": \"1\", " + c.fragment + ", \"files\": []}", m)) << c.fragment;
        EXPECT_EQ(m.mandatory, c.mandatory) << c.fragment;
    }
    UpdateManifest inside;
    ASSERT_TRUE(ParseManifest(Document(Entry("a", "/updates/a", ", \"mandatory\":true")), inside));
    EXPECT_TRUE(inside.mandatory) << "the text counts anywhere, also inside a file object";
    UpdateManifest rejected;
    EXPECT_FALSE(ParseManifest("{\"mandatory\": true}", rejected));
    EXPECT_TRUE(rejected.mandatory) << "the flag is set before any rejection";
}

TEST(Manifest, FirstOccurrenceRules) {
    UpdateManifest numeric;
    ASSERT_TRUE(ParseManifest("{\"version\": 5, \"files\": []}", numeric));
    EXPECT_EQ(numeric.version, L"files") << "a non-string version takes the next quoted text";

    UpdateManifest both;
    ASSERT_TRUE(ParseManifest("{\"version\": \"2\", \"patches\": [" + Entry("p", "/updates/p") + "], \"files\": [" +
                                  Entry("f", "/updates/f") + "]}",
                              both));
    ASSERT_EQ(both.files.size(), 1u);
    EXPECT_EQ(both.files[0].path, L"f") << "\"files\" anywhere wins over patches";

    UpdateManifest patchesOnly;
    ASSERT_TRUE(ParseManifest("{\"version\": \"2\", \"patches\": [" + Entry("p", "/updates/p") + "]}", patchesOnly));
    ASSERT_EQ(patchesOnly.files.size(), 1u);
    EXPECT_EQ(patchesOnly.files[0].path, L"p");

    // The first "version" wins even when it sits inside a file object further down.
    UpdateManifest firstVersion;
    ASSERT_TRUE(ParseManifest("{\"files\": [{\"version\": \"inner\", \"path\": \"a\", \"url\": \"/updates/a\", "
                              "\"sha256\": \"" + kDigest + "\"}], \"version\": \"outer\"}",
                              firstVersion));
    EXPECT_EQ(firstVersion.version, L"inner");

    // Two entries with one path stay two; deletedFiles keeps order and duplicates, skips non-strings.
    UpdateManifest lists;
    ASSERT_TRUE(ParseManifest(Document(Entry("a", "/updates/1") + ", " + Entry("a", "/updates/2"),
                                       ", \"deletedFiles\": [1, \"old.txt\", null, \"b/old.txt\", \"old.txt\"]"),
                              lists));
    ASSERT_EQ(lists.files.size(), 2u);
    EXPECT_EQ(lists.files[1].url, L"/updates/2");
    EXPECT_EQ(lists.deletedFiles, (std::vector<std::wstring>{L"old.txt", L"b/old.txt", L"old.txt"}));
}

TEST(Manifest, ValuesAreTakenRaw) {
    UpdateManifest m;
    ASSERT_TRUE(ParseManifest(
        Document("{\"path\": \"Content\\\\Maps\\/x\\u0041.pak\", \"url\": \"/updates/\xD0\x9A\xD0\xB0\xD1\x80\xD1\x82"
                 "\xD0\xB0.pak\", \"sha256\": \"" + kDigest + "\"}"),
        m));
    ASSERT_EQ(m.files.size(), 1u);
    EXPECT_EQ(m.files[0].path, L"Content\\\\Maps\\/x\\u0041.pak") << "no escape is interpreted";
    EXPECT_EQ(m.files[0].url, L"/updates/Карта.pak");

    UpdateManifest zero;
    std::string withZero = Document(Entry("a", "/updates/a"));
    withZero.insert(1, std::string("\0", 1));
    EXPECT_TRUE(ParseManifest(withZero, zero)) << "a zero byte is an ordinary byte";
}

TEST(Manifest, SizeDigitRuns) {
    const struct {
        std::string written;
        uint64_t size;
    } cases[] = {
        {"", 0},          {", \"size\": 750", 750}, {", \"size\": -7", 7},     {", \"size\": 12.5", 12},
        {", \"size\": 1e6", 1}, {", \"size\": \"300\"", 300}, {", \"size\": 0", 0}, {", \"size\": 007", 7},
    };
    for (const auto& c : cases) {
        UpdateManifest m;
        ASSERT_TRUE(ParseManifest(Document(Entry("a", "/updates/a", c.written)), m)) << c.written;
        ASSERT_EQ(m.files.size(), 1u);
        EXPECT_EQ(m.files[0].size, c.size) << c.written;
    }
    uint64_t value = 99;
    EXPECT_TRUE(FindUnsignedValue("{\"size\":", "size", value));
    EXPECT_EQ(value, 0u) << "a colon at the very end gives 0";
    EXPECT_TRUE(FindUnsignedValue("{\"size\": \"x\", \"other\": 42}", "size", value));
    EXPECT_EQ(value, 42u) << "digits of a later key are read";
}

TEST(Manifest, FindStringValueSteps) {
    EXPECT_EQ(FindStringValue("{\"k\": \"v\"}", "k"), "v");
    EXPECT_EQ(FindStringValue("{\"k\": \"\"}", "k"), "");
    EXPECT_EQ(FindStringValue("{\"k\" \"v\"}", "k"), "") << "no colon";
    EXPECT_EQ(FindStringValue("{\"k\": \"v", "k"), "") << "no closing quote";
    EXPECT_EQ(FindStringValue("{k: \"v\"}", "k"), "") << "key must be quoted";
    EXPECT_EQ(FindStringValue("{\"K\": \"v\"}", "k"), "") << "case-sensitive";
    EXPECT_EQ(FindStringValue("{\"k\": \"a\\\"b\"}", "k"), "a\\") << "an escaped quote ends the value";
}
