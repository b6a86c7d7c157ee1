#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "run/wstrlist.h"

namespace {
std::string At(const WStrList& l, size_t i) {
    WStrList::Position p = l.FindIndex(i);
    return p ? static_cast<const char*>(l.GetAt(p)) : "<none>";
}
}  // namespace

TEST(WStrList, KeepsCopiesInOrderWithDuplicates) {
    WStrList list;
    EXPECT_EQ(list.GetCount(), 0u);
    EXPECT_EQ(list.FindIndex(0), nullptr);
    char text[] = "C:\\A\\B.EXE";
    list.Add(text);
    text[0] = 'D';   // the list holds its own copy
    list.Add("C:\\A\\B.EXE");
    list.Add("C:\\other");
    EXPECT_EQ(list.GetCount(), 3u);
    EXPECT_EQ(At(list, 0), "C:\\A\\B.EXE");
    EXPECT_EQ(At(list, 1), "C:\\A\\B.EXE");
    EXPECT_EQ(At(list, 2), "C:\\other");
    EXPECT_EQ(At(list, 3), "<none>");
    EXPECT_STREQ(static_cast<const char*>(list.GetHead()), "C:\\A\\B.EXE");
}

TEST(WStrList, WideTextIsCopiedWhole) {
    WStrList list;
    list.Add(L"\\\\?\\C:\\caf\u00E9.exe", 1);
    list.Add("ansi", 0);
    EXPECT_STREQ(static_cast<const wchar_t*>(list.GetAt(list.FindIndex(0))), L"\\\\?\\C:\\caf\u00E9.exe");
    EXPECT_STREQ(static_cast<const char*>(list.GetAt(list.FindIndex(1))), "ansi");
}

TEST(WStrList, RangeForReadsEveryElementInOrder) {
    WStrList wide, empty;
    for (const wchar_t* text : {L"\\\\?\\C:\\a", L"b", L"b"}) wide.Add(text);
    std::vector<std::wstring> read;
    for (const wchar_t* text : wide.As<wchar_t>()) read.push_back(text);
    EXPECT_EQ(read, (std::vector<std::wstring>{L"\\\\?\\C:\\a", L"b", L"b"}));
    for (const char* text : empty.As<char>()) ADD_FAILURE() << text;
}

TEST(WStrList, RemoveAllThenAddIsLikeNew) {
    WStrList list;
    // Past several node blocks of ten.
    for (int i = 0; i < 35; ++i) list.Add(std::to_string(i).c_str());
    EXPECT_EQ(list.GetCount(), 35u);
    EXPECT_EQ(At(list, 34), "34");
    list.RemoveAll();
    EXPECT_EQ(list.GetCount(), 0u);
    EXPECT_EQ(list.FindIndex(0), nullptr);
    list.Add("again");
    EXPECT_EQ(list.GetCount(), 1u);
    EXPECT_EQ(At(list, 0), "again");
    list.RemoveAll();
    list.RemoveAll();
    EXPECT_EQ(list.GetCount(), 0u);
}
