// The path rules of the function table: the long-path check, the mixed
// comparisons and the shortening of log paths. The NT family's 32767-character
// limit cannot be reached with real files on the Linux file system under Wine,
// so its boundaries are covered here.
#include <gtest/gtest.h>

#include <cstring>

#include <string>

#include "run/path_rules_core.h"

using namespace pathrules;

namespace {

// ASCII and Latin-1 stand in for the ANSI code page.
size_t FromLatin1(const char* ansi, size_t bytes, char16_t* out, size_t capacity) {
    if (!out) return bytes;
    if (capacity < bytes) return 0;
    for (size_t i = 0; i < bytes; ++i) out[i] = static_cast<unsigned char>(ansi[i]);
    return bytes;
}
size_t ToLatin1(const char16_t* text, size_t units, char* out, size_t capacity) {
    for (size_t i = 0; i < units; ++i)
        if (text[i] > 0xFF) return 0;
    if (!out) return units;
    if (capacity < units) return 0;
    for (size_t i = 0; i < units; ++i) out[i] = static_cast<char>(text[i]);
    return units;
}
// A code page of two bytes per character, to see the output size rule.
size_t ToDoubleBytes(const char16_t*, size_t units, char* out, size_t capacity) {
    if (!out) return units * 2;
    if (capacity < units * 2) return 0;
    for (size_t i = 0; i < units * 2; ++i) out[i] = 'x';
    return units * 2;
}

std::u16string U(const std::string& s) { return std::u16string(s.begin(), s.end()); }

int Check(const std::u16string& p) { return CheckLongPathRule(p.c_str(), p.size(), true); }
int Check9x(const std::string& p) { return CheckLongPathRule(p.c_str(), p.size(), false); }

std::string Shorten(const std::string& path, size_t limit, size_t outBytes = 2048) {
    std::u16string w = U(path);
    std::string out(outBytes, '#');
    size_t n = ShortenForLogWith<char16_t>(w.c_str(), out.data(), outBytes, limit, ToLatin1);
    return n ? std::string(out.c_str()) : std::string("<0>");
}

}  // namespace

TEST(CheckLongPath, NtPrefixedBoundaryIs32767) {
    std::u16string p = U("\\\\?\\C:\\");
    p.resize(32767, u'a');
    EXPECT_EQ(Check(p), 0);
    p.push_back(u'a');   // 32768
    EXPECT_EQ(Check(p), -1);
}

TEST(CheckLongPath, NtUnprefixedNeedsRoomForThePrefix) {
    std::u16string p = U("C:\\dir\\file.txt");
    EXPECT_EQ(Check(p), 1);
    p.resize(32763, u'a');   // 4 + 32763 = 32767
    EXPECT_EQ(Check(p), 1);
    p.push_back(u'a');
    EXPECT_EQ(Check(p), -1);
}

TEST(CheckLongPath, PrefixAnywhereButTheStartIsUnusable) {
    EXPECT_EQ(Check(U("C:\\a\\\\?\\b")), -1);
    EXPECT_EQ(Check(U("\\\\?\\C:\\a\\\\?\\b")), 0);   // the first occurrence is at the start
    EXPECT_EQ(Check(U("\\\\?C:\\a")), 1);              // not the prefix
    EXPECT_EQ(Check(U("")), 1);
    EXPECT_EQ(CheckLongPathRule<char16_t>(nullptr, 0, true), -1);
}

TEST(CheckLongPath, NineXIsLengthOnly) {
    std::string p = "C:\\dir\\file.txt";
    EXPECT_EQ(Check9x(p), 0);   // the same drive path is 1 on the NT family
    p.resize(260, 'a');
    EXPECT_EQ(Check9x(p), 0);
    p.push_back('a');
    EXPECT_EQ(Check9x(p), -1);
    EXPECT_EQ(Check9x("\\\\?\\C:\\x"), 0);   // 9x knows no prefix
}

TEST(MixedCompare, EqualsNt) {
    std::u16string native = U("C:\\Program Files\\X");
    EXPECT_EQ(EqualsIgnoreCaseMixedNt<char16_t>("C:\\PROGRAM FILES\\X", native.c_str(), FromLatin1, FoldAscii), 1);
    EXPECT_EQ(EqualsIgnoreCaseMixedNt<char16_t>("C:\\PROGRAM FILES\\", native.c_str(), FromLatin1, FoldAscii), 0);
    EXPECT_EQ(EqualsIgnoreCaseMixedNt<char16_t>("C:\\PROGRAM FILES\\XY", native.c_str(), FromLatin1, FoldAscii), 0);
    EXPECT_EQ(EqualsIgnoreCaseMixedNt<char16_t>(nullptr, nullptr, FromLatin1, FoldAscii), 1);
    EXPECT_EQ(EqualsIgnoreCaseMixedNt<char16_t>("a", nullptr, FromLatin1, FoldAscii), 0);
    EXPECT_EQ(EqualsIgnoreCaseMixedNt<char16_t>(nullptr, native.c_str(), FromLatin1, FoldAscii), 0);
    EXPECT_EQ(EqualsIgnoreCaseMixedNt<char16_t>("", u"", FromLatin1, FoldAscii), 1);
    // Conversion through the code page: \xE9 is U+00E9.
    EXPECT_EQ(EqualsIgnoreCaseMixedNt<char16_t>("caf\xE9", u"CAF\u00E9", FromLatin1, FoldAscii), 1);
}

TEST(MixedCompare, StartsWithNt) {
    std::u16string native = U("C:\\WORK\\SKIP1X\\deeper");
    const char* prefix = "c:\\work\\skip1";
    EXPECT_EQ(StartsWithIgnoreCaseMixedNt<char16_t>(prefix, native.c_str(), 13, FromLatin1, FoldAscii), 1);
    EXPECT_EQ(StartsWithIgnoreCaseMixedNt<char16_t>("C:\\WORK\\KEEP", native.c_str(), 12, FromLatin1, FoldAscii), 0);
    // n = 0 matches anything, even null texts.
    EXPECT_EQ(StartsWithIgnoreCaseMixedNt<char16_t>("zzz", native.c_str(), 0, FromLatin1, FoldAscii), 1);
    EXPECT_EQ(StartsWithIgnoreCaseMixedNt<char16_t>(nullptr, nullptr, 0, FromLatin1, FoldAscii), 1);
    // n beyond either text: 0, even when the texts are equal.
    EXPECT_EQ(StartsWithIgnoreCaseMixedNt<char16_t>("C:", u"C:", 3, FromLatin1, FoldAscii), 0);
    EXPECT_EQ(StartsWithIgnoreCaseMixedNt<char16_t>("C:\\WORK", u"C:", 7, FromLatin1, FoldAscii), 0);
    EXPECT_EQ(StartsWithIgnoreCaseMixedNt<char16_t>("C:", u"C:\\WORK", 3, FromLatin1, FoldAscii), 0);
}

TEST(MixedCompare, NineXIsPlain) {
    EXPECT_EQ(EqualsIgnoreCaseAnsi("C:\\A\\b.EXE", "c:\\a\\B.exe", FoldAscii), 1);
    EXPECT_EQ(EqualsIgnoreCaseAnsi("C:\\A", "C:\\AB", FoldAscii), 0);
    EXPECT_EQ(StartsWithIgnoreCaseAnsi("C:\\SKIP", "c:\\skip2\\x", 7, FoldAscii), 1);
    EXPECT_EQ(StartsWithIgnoreCaseAnsi("C:\\SKIP", "c:\\sk", 7, FoldAscii), 0);
    EXPECT_EQ(StartsWithIgnoreCaseAnsi("x", "y", 0, FoldAscii), 1);
}

TEST(ShortenForLog, ShortPathsAreConvertedWhole) {
    EXPECT_EQ(Shorten("C:\\dir\\file.txt", 260), "C:\\dir\\file.txt");
    std::string p(260, 'a');
    EXPECT_EQ(Shorten(p, 260), p);
    EXPECT_EQ(Shorten("", 260), "<0>");   // nothing to write: length 0
}

TEST(ShortenForLog, HeadEllipsisTail) {
    // 300 characters whose last component with its backslash has 20.
    std::string tail = "\\" + std::string(15, 't') + ".exe";
    ASSERT_EQ(tail.size(), 20u);
    std::string path = "C:\\" + std::string(277, 'h') + tail;
    ASSERT_EQ(path.size(), 300u);
    std::string s = Shorten(path, 260);
    EXPECT_EQ(s.size(), 260u);
    EXPECT_EQ(s, path.substr(0, 237) + "..." + tail);

    // Character 237 a backslash: the head keeps 236.
    std::string p2 = path;
    p2[236] = '\\';
    std::string s2 = Shorten(p2, 260);
    EXPECT_EQ(s2.size(), 259u);
    EXPECT_EQ(s2, p2.substr(0, 236) + "..." + tail);
    // A backslash just after the head changes nothing.
    std::string p3 = path;
    p3[237] = '\\';
    EXPECT_EQ(Shorten(p3, 260), p3.substr(0, 237) + "..." + tail);
}

TEST(ShortenForLog, LongTailKeepsItsStart) {
    std::string tail = "\\" + std::string(299, 'n');
    std::string path = "C:\\dir" + tail;
    std::string s = Shorten(path, 260);
    EXPECT_EQ(s, "..." + tail.substr(0, 257));
    // a + 3 == limit is already "long".
    std::string t2 = "\\" + std::string(256, 'n');   // a = 257
    std::string p2 = "C:\\dirdir" + t2;
    EXPECT_EQ(Shorten(p2, 260), "..." + t2.substr(0, 257));
    // No backslash at all: the whole path is the tail.
    std::string flat(300, 'f');
    EXPECT_EQ(Shorten(flat, 260), "..." + flat.substr(0, 257));
}

TEST(ShortenForLog, OutputTooSmallWritesNothing) {
    std::u16string w = U(std::string(300, 'a'));
    char out[300];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(ShortenForLogWith<char16_t>(w.c_str(), out, 260, 260, ToLatin1), 0u);   // needs 261
    EXPECT_EQ(out[0], '#');
    EXPECT_EQ(ShortenForLogWith<char16_t>(w.c_str(), out, 261, 260, ToLatin1), 260u);
    EXPECT_EQ(out[260], '\0');
    // Two bytes per character: 260 characters need 521 bytes.
    std::memset(out, '#', sizeof out);
    char big[600];
    EXPECT_EQ(ShortenForLogWith<char16_t>(w.c_str(), out, 261, 260, ToDoubleBytes), 0u);
    EXPECT_EQ(out[0], '#');
    EXPECT_EQ(ShortenForLogWith<char16_t>(w.c_str(), big, 521, 260, ToDoubleBytes), 520u);
    // Unconvertible text and bad arguments fail.
    std::u16string greek = u"C:\\\u03A9";
    EXPECT_EQ(ShortenForLogWith<char16_t>(greek.c_str(), out, 261, 260, ToLatin1), 0u);
    EXPECT_EQ(ShortenForLogWith<char16_t>(nullptr, out, 261, 260, ToLatin1), 0u);
    EXPECT_EQ(ShortenForLogWith<char16_t>(w.c_str(), out, 261, 3, ToLatin1), 0u);
}

TEST(LongPrefix, SkipOnlyAtTheStart) {
    std::u16string p = U("\\\\?\\C:\\x");
    EXPECT_EQ(std::u16string(SkipLongPrefix(p.c_str())), U("C:\\x"));
    std::u16string q = U("C:\\\\?\\x");
    EXPECT_EQ(SkipLongPrefix(q.c_str()), q.c_str());
}

// Whole components only, the root's own trailing backslash aside.
TEST(WithinTree, ComponentsNotPrefixes) {
    struct {
        const char16_t* path;
        const char16_t* root;
        bool within;
    } cases[] = {
        {u"C:\\DATA", u"C:\\data", true},         {u"c:\\data\\sub\\x", u"C:\\DATA", true},
        {u"C:\\DATA2", u"C:\\DATA", false},       {u"C:\\DAT", u"C:\\DATA", false},
        {u"C:\\", u"C:\\", true},                 {u"C:\\anything", u"C:\\", true},
        {u"D:\\data", u"C:\\", false},            {u"C:\\data\\", u"C:\\data\\", true},
        {u"C:\\data", u"", false},                {u"\\\\srv\\share\\x", u"\\\\srv\\share", true},
    };
    for (auto& c : cases) {
        std::u16string path = c.path, root = c.root;
        EXPECT_EQ(WithinTree(path.c_str(), path.size(), root.c_str(), root.size(), FoldAscii), c.within)
            << std::string(path.begin(), path.end()) << " in " << std::string(root.begin(), root.end());
    }
}

TEST(LongPrefix, RemovedForTheDosForm) {
    EXPECT_EQ(WithoutLongPrefix<char>("\\\\?\\C:\\T"), "C:\\T");
    EXPECT_EQ(WithoutLongPrefix<char>("\\\\?\\UNC\\srv\\share\\d"), "\\\\srv\\share\\d");
    EXPECT_EQ(WithoutLongPrefix<char>("\\\\?\\unc\\srv"), "\\\\srv");
    EXPECT_EQ(WithoutLongPrefix<char>("C:\\T\\\\?\\"), "C:\\T\\\\?\\");
    EXPECT_EQ(WithoutLongPrefix<wchar_t>(L"\\\\?\\C:"), L"C:");
}
