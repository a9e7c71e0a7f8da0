#include <gtest/gtest.h>

#include <string>

#include "support/TextEncoding.h"
#include "update/Manifest.h"

namespace {

std::string Entry(const std::string& path, const std::string& url, const std::string& extra = "",
                  const std::string& digest = std::string(64, 'a')) {
    return "{\"path\": \"" + path + "\", \"url\": \"" + url + "\", \"sha256\": \"" + digest + "\"" + extra + "}";
}

std::string Document(const std::string& files, const std::string& tail = "", const std::string& head = "") {
    return "{\"version\": \"1.4.0\", " + head + "\"files\": [" + files + "]" + tail + "}";
}

// What the launcher read, in one line: version, "!" when mandatory, each entry, "-" each obsolete path.
std::string Summary(const UpdateManifest& m) {
    std::string text = WideToUtf8(m.version) + (m.mandatory ? " !" : "");
    for (const ManifestFile& f : m.files) {
        text += " [" + WideToUtf8(f.path) + " " + WideToUtf8(f.url) + " " + std::to_string(f.size) + "]";
    }
    for (const std::wstring& d : m.deletedFiles) {
        text += " -" + WideToUtf8(d);
    }
    return text;
}

}  // namespace

// The scanner's byte-search rules are the manifest's contract: first occurrences, first delimiters,
// values taken raw. Each row: document -> accepted, and what was read (also after a rejection).
TEST(Manifest, ScannerTable) {
    const struct { const char* name; std::string text; bool accepted; std::string read; } cases[] = {
        {"documented example", "{\n \"version\": \"1.4.0\",\n \"mandatory\": true,\n \"files\": [\n  " +
         Entry("Content/Maps/harbor.pak", "/updates/1.4.0/Content/Maps/harbor.pak", ", \"size\": 750") +
         "\n ],\n \"deletedFiles\": [\"Content/Maps/harbor_old.pak\"]\n}\n",
         true, "1.4.0 ! [Content/Maps/harbor.pak /updates/1.4.0/Content/Maps/harbor.pak 750] -Content/Maps/harbor_old.pak"},
        {"no version", "{\"files\": []}", false, ""},
        {"empty version", "{\"version\": \"\", \"files\": []}", false, ""},
        {"version without closing quote", "{\"version\": \"1.0", false, ""},
        {"version not UTF-8", "{\"version\": \"1.\xC3\x28\", \"files\": []}", false, ""},
        {"version as a number takes the next quoted text", "{\"version\": 5, \"files\": []}", true, "files"},
        {"first version wins, also inside an entry",
         "{\"files\": [" + Entry("a", "/u", ", \"version\": \"in\"") + "], \"version\": \"out\"}", true, "in [a /u 0]"},
        {"neither files nor patches", "{\"version\": \"1\"}", false, "1"},
        {"no [ after files", "{\"version\": \"1\", \"files\": {}}", false, "1"},
        {"no ] after [", "{\"version\": \"1\", \"files\": [" + Entry("a", "/updates/a"), false, "1"},
        {"object without }", "{\"version\": \"1\", \"files\": [{\"path\": \"a\"", false, "1"},
        {"] inside a url cuts the list", Document(Entry("a", "/updates/a]b")), false, "1.4.0"},
        {"} inside a value hides a later required key", Document(Entry("a}", "/updates/a")), false, "1.4.0"},
        {"} inside a value hides only a later size", Document(Entry("a", "/u", ", \"x\": \"}\", \"size\": 5")), true,
         "1.4.0 [a /u 0]"},
        {"empty path", Document(Entry("", "/updates/a")), false, "1.4.0"},
        {"empty url", Document(Entry("a", "")), false, "1.4.0"},
        {"path not UTF-8", Document(Entry("\xFF", "/updates/a")), false, "1.4.0"},
        {"sha256 of 63", Document(Entry("a", "/u", "", std::string(63, 'a'))), false, "1.4.0"},
        {"sha256 of 65", Document(Entry("a", "/u", "", std::string(65, 'a'))), false, "1.4.0"},
        {"sha256 of 64 non-hex", Document(Entry("a", "/u", "", std::string(64, 'z'))), true, "1.4.0 [a /u 0]"},
        {"empty file list", Document(""), true, "1.4.0"},
        {"file list of non-objects", Document("1, \"x\", null", ", \"deletedFiles\": [\"d\"]"), true, "1.4.0 -d"},
        {"files wins over patches anywhere",
         Document(Entry("f", "/f"), "", "\"patches\": [" + Entry("p", "/p") + "], "), true, "1.4.0 [f /f 0]"},
        {"patches alone", "{\"version\": \"2\", \"patches\": [" + Entry("p", "/p") + "]}", true, "2 [p /p 0]"},
        {"duplicates stay; non-strings skipped", Document(Entry("a", "/1") + ", " + Entry("a", "/2"),
         ", \"deletedFiles\": [1, \"old\", null, \"old\"]"), true, "1.4.0 [a /1 0] [a /2 0] -old -old"},
        {"no escape is interpreted", Document(Entry("C\\\\M\\/x\\u0041", "/updates/\xD0\x9A")), true,
         "1.4.0 [C\\\\M\\/x\\u0041 /updates/\xD0\x9A 0]"},
        {"an escaped quote ends the value", Document(Entry("a\\", "/u")), true, "1.4.0 [a\\ /u 0]"},
        {"a zero byte is an ordinary byte", std::string(1, '\0') + Document(Entry("a", "/u")), true, "1.4.0 [a /u 0]"},
        {"sizes -7, 12.5, 1e6, \"300\", 007", Document(Entry("a", "/1", ", \"size\": -7") + Entry("b", "/2", ", \"size\": 12.5") +
         Entry("c", "/3", ", \"size\": 1e6") + Entry("d", "/4", ", \"size\": \"300\"") + Entry("e", "/5", ", \"size\": 007")),
         true, "1.4.0 [a /1 7] [b /2 12] [c /3 1] [d /4 300] [e /5 7]"},
        {"size beyond 64 bits", Document(Entry("a", "/1", ", \"size\": 18446744073709551616")), false, "1.4.0"},
        {"largest size that fits", Document(Entry("a", "/1", ", \"size\": 18446744073709551615")), true,
         "1.4.0 [a /1 18446744073709551615]"},
        {"deletedFiles without [", Document("", ", \"deletedFiles\": 5"), false, "1.4.0"},
        {"deletedFiles without ]", Document("", ", \"deletedFiles\": [\"a\""), false, "1.4.0"},
        {"deletedFiles empty string", Document("", ", \"deletedFiles\": [\"\"]"), false, "1.4.0"},
        {"deletedFiles unclosed string", Document("", ", \"deletedFiles\": [\"a]\"]"), false, "1.4.0"},
        {"deletedFiles not UTF-8", Document("", ", \"deletedFiles\": [\"\xC3\x28\"]"), false, "1.4.0"},
        {"cut off after deletedFiles", "{\"version\": \"1\", \"files\": [], \"deletedFiles\": [\"a\"]", true, "1 -a"},
        {"mandatory without a blank", Document("", "", "\"mandatory\":true, "), true, "1.4.0 !"},
        {"mandatory inside an entry", Document(Entry("a", "/u", ", \"mandatory\":true")), true, "1.4.0 ! [a /u 0]"},
        {"mandatory set before a rejection", "{\"mandatory\": true}", false, " !"},
        {"mandatory as exact text only", Document("", "", "\"mandatory\":  true, \"mandatory\" : true, "
         "\"mandatory\":\ttrue, \"mandatory\":\ntrue, \"mandatory\": false, \"mandatory\": \"true\", "), true, "1.4.0"},
    };
    for (const auto& c : cases) {
        UpdateManifest m;
        EXPECT_EQ(ParseManifest(c.text, m), c.accepted) << c.name;
        EXPECT_EQ(Summary(m), c.read) << c.name;
    }
}
