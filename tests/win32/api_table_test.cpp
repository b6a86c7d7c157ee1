// The function table: the binder only looks at loaded modules, and each
// platform gets its own set.
#include <gtest/gtest.h>

#include "run/run_state.h"
#include "run/native_path.h"
#include "support/support.h"

TEST(Binder, NeverLoadsAModuleAndLeavesMissingNamesEmpty) {
    void* marker = reinterpret_cast<void*>(0x1234);
    void* a = marker;
    void* b = marker;
    const BindEntry notLoaded[] = {{"ReadFile", &a}, {nullptr, nullptr}};
    ASSERT_EQ(GetModuleHandleA("MSTASK.DLL"), nullptr);
    EXPECT_EQ(BindFunctions("MSTASK.DLL", notLoaded), 0);
    EXPECT_EQ(a, marker);   // nothing filled
    EXPECT_EQ(GetModuleHandleA("MSTASK.DLL"), nullptr);

    const BindEntry kernel[] = {{"ReadFile", &a}, {"NoSuchFunctionAnywhere", &b}, {nullptr, nullptr}};
    EXPECT_EQ(BindFunctions("KERNEL32.DLL", kernel), 1);
    EXPECT_EQ(a, reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("KERNEL32.DLL"), "ReadFile")));
    EXPECT_EQ(b, nullptr);
}

TEST(ApiTable, WideSetOnNtAnsiSetOn9x) {
    RunFlags flags;
    flags.isNtFamily = true;
    flags.maxPathChars = kMaxPathCharsNt;
    ApiTable table;
    ASSERT_EQ(LoadApiTable(table, flags), 1);
    EXPECT_EQ(reinterpret_cast<void*>(table.wide.CreateFile),
              reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("KERNEL32.DLL"), "CreateFileW")));
    EXPECT_NE(table.wide.MoveFileEx, nullptr);
    EXPECT_EQ(table.ansi.CreateFile, nullptr);
    EXPECT_STREQ(table.wide.logNameFormat, "%.260S");
    // "\\?\" paths through the wide set.
    std::wstring p = L"\\\\?\\C:\\windows";
    EXPECT_EQ(CheckLongPath(table.wide, p.c_str()), PathCheck::Usable);
    EXPECT_EQ(CheckLongPath(table.wide, L"C:\\windows"), PathCheck::PrefixMissing);
    EXPECT_EQ(CheckLongPath(table.wide, L"C:\\a\\\\?\\b"), PathCheck::Unusable);
    EXPECT_EQ(CheckLongPath<wchar_t>(table.wide, nullptr), PathCheck::Unusable);
    EXPECT_EQ(StartsWithIgnoreCaseMixed("C:\\WIN", L"c:\\windows", 6), 1);
    EXPECT_EQ(EqualsIgnoreCaseMixed("C:\\WINDOWS", L"c:\\windows"), 1);
    char out[300];
    EXPECT_EQ(ShortenForLog(L"C:\\caf\u00E9", out, sizeof out, 260), 7u);

    flags = RunFlags{};
    flags.maxPathChars = kMaxPathChars9x;
    ASSERT_EQ(LoadApiTable(table, flags), 1);
    EXPECT_EQ(table.ansi.MoveFileEx, nullptr);   // not bound on 9x
    EXPECT_NE(table.ansi.CreateFile, nullptr);
    EXPECT_EQ(table.wide.CreateFile, nullptr);
    EXPECT_STREQ(table.ansi.logNameFormat, "%.260s");
    std::string long9x(261, 'a');
    EXPECT_EQ(CheckLongPath(table.ansi, "C:\\windows"), PathCheck::Usable);
    EXPECT_EQ(CheckLongPath(table.ansi, long9x.c_str()), PathCheck::Unusable);
    EXPECT_EQ(CheckLongPath(table.ansi, long9x.substr(0, 260).c_str()), PathCheck::Usable);
}
