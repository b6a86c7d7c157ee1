// The function table: the binder only looks at loaded modules, and each
// platform gets its own set.
#include <gtest/gtest.h>

#include "app/environment.h"
#include "app/run_state.h"
#include "scan/api_table.h"
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
    ResetRunState();
    g_run.isNtFamily = true;
    g_run.maxPathChars = kMaxPathCharsNt;
    ASSERT_EQ(LoadApiTable(), 1);
    EXPECT_EQ(reinterpret_cast<void*>(g_api.wide.CreateFile),
              reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("KERNEL32.DLL"), "CreateFileW")));
    EXPECT_NE(g_api.wide.MoveFileEx, nullptr);
    EXPECT_EQ(g_api.ansi.CreateFile, nullptr);
    EXPECT_STREQ(g_api.wide.logNameFormat, "%.260S");
    // "\\?\" paths through the wide set.
    std::wstring p = L"\\\\?\\C:\\windows";
    EXPECT_EQ(CheckLongPath(p.c_str()), 0);
    EXPECT_EQ(CheckLongPath(L"C:\\windows"), 1);
    EXPECT_EQ(CheckLongPath(L"C:\\a\\\\?\\b"), -1);
    EXPECT_EQ(CheckLongPath<wchar_t>(nullptr), -1);
    EXPECT_EQ(StartsWithIgnoreCaseMixed("C:\\WIN", L"c:\\windows", 6), 1);
    EXPECT_EQ(EqualsIgnoreCaseMixed("C:\\WINDOWS", L"c:\\windows"), 1);
    char out[300];
    EXPECT_EQ(ShortenForLog(L"C:\\caf\u00E9", out, sizeof out, 260), 7u);

    ResetRunState();
    g_run.maxPathChars = kMaxPathChars9x;
    ASSERT_EQ(LoadApiTable(), 1);
    EXPECT_EQ(g_api.ansi.MoveFileEx, nullptr);   // not bound on 9x
    EXPECT_NE(g_api.ansi.CreateFile, nullptr);
    EXPECT_EQ(g_api.wide.CreateFile, nullptr);
    EXPECT_STREQ(g_api.ansi.logNameFormat, "%.260s");
    std::string long9x(261, 'a');
    EXPECT_EQ(CheckLongPath("C:\\windows"), 0);
    EXPECT_EQ(CheckLongPath(long9x.c_str()), -1);
    EXPECT_EQ(CheckLongPath(long9x.substr(0, 260).c_str()), 0);
}
