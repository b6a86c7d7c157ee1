// Path macros against the machine: directories, environment and registry.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "scan/path_macros.h"

namespace {

std::string Expand(const char* text) {
    size_t n = ExpandPathMacros(text, nullptr, 0);
    if (!n) return "";
    std::string out(n + 1, '\0');
    EXPECT_EQ(ExpandPathMacros(text, &out[0], out.size()), n);
    out.resize(n);
    return out;
}

std::string SystemDir() {
    char b[MAX_PATH] = {};
    GetSystemDirectoryA(b, MAX_PATH);
    return b;
}

TEST(PathMacrosOnWindows, TempVariable) {
    ASSERT_TRUE(SetEnvironmentVariableA("TEMP", "C:\\TMP"));
    EXPECT_EQ(ExpandPathMacros("%TEMP%\\VCAB.DLL", nullptr, 0), 15u);
    EXPECT_EQ(Expand("%TEMP%\\VCAB.DLL"), "C:\\TMP\\VCAB.DLL");
    EXPECT_EQ(Expand("%temp%\\a\\%TEMP%"), "C:\\TMP\\a\\C:\\TMP");   // variables ignore case
    SetEnvironmentVariableA("QUORVIN_UNSET", nullptr);
    EXPECT_EQ(ExpandPathMacros("C:\\%QUORVIN_UNSET%", nullptr, 0), 0u);
    ASSERT_TRUE(SetEnvironmentVariableA("QUORVIN_EMPTY", ""));   // defined, but empty
    EXPECT_EQ(Expand("C:\\%QUORVIN_EMPTY%x"), "C:\\x");
    SetEnvironmentVariableA("QUORVIN_EMPTY", nullptr);
}

TEST(PathMacrosOnWindows, BuiltInDirectories) {
    char windows[MAX_PATH] = {}, temp[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, MAX_PATH);
    GetTempPathA(MAX_PATH, temp);
    SetEnvironmentVariableA("system", "not this");
    EXPECT_EQ(Expand("%SYSTEM%\\x.dll"), SystemDir() + "\\x.dll");
    EXPECT_EQ(Expand("%WinDir%\\x"), std::string(windows) + "\\x");
    EXPECT_EQ(Expand("%windows%\\x"), std::string(windows) + "\\x");
    EXPECT_EQ(Expand("%TEMPDIR%\\x"), std::string(temp) + "\\x");   // the doubled backslash is kept
    SetEnvironmentVariableA("system", nullptr);
}

TEST(PathMacrosOnWindows, RegistryValues) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\QuorvinTest\\Paths", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    const char dir[] = "C:\\RegDir";
    const char deflt[] = "C:\\Default";
    RegSetValueExA(key, "Dir", 0, REG_SZ, reinterpret_cast<const BYTE*>(dir), sizeof dir);
    RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(deflt), sizeof deflt);
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\QuorvinTest", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    const char name[] = "VCAB";
    RegSetValueExA(key, "Name", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(name), sizeof name);
    RegCloseKey(key);

    EXPECT_EQ(Expand("<HKCU\\Software\\QuorvinTest\\Paths\\Dir>\\a.dll"), "C:\\RegDir\\a.dll");
    EXPECT_EQ(Expand("<HKEY_CURRENT_USER\\Software\\QuorvinTest\\Paths\\>"), "C:\\Default");
    EXPECT_EQ(Expand("<HKCU\\Software\\QuorvinTest\\Paths\\Dir>\\<HKLM\\Software\\QuorvinTest\\Name>.DLL"),
              "C:\\RegDir\\VCAB.DLL");
    EXPECT_EQ(ExpandPathMacros("<hkcu\\Software\\QuorvinTest\\Paths\\Dir>", nullptr, 0), 0u);
    EXPECT_EQ(ExpandPathMacros("<HKCU\\Software\\QuorvinTest\\Paths\\Missing>", nullptr, 0), 0u);
    EXPECT_EQ(ExpandPathMacros("<HKCU\\Software\\QuorvinTest\\NoKey\\Dir>", nullptr, 0), 0u);
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\QuorvinTest\\Paths");
}

TEST(SystemPrefixOnWindows, ExpandsOnlyTheThreePrefixes) {
    char out[261];
    EXPECT_EQ(ExpandSystemPrefix("%SYSTEM%\\kernel32.dll", out, sizeof out), SystemDir().size() + 13);
    EXPECT_EQ(std::string(out), SystemDir() + "\\kernel32.dll");
    ExpandSystemPrefix("%TEMP%\\x", out, sizeof out);
    EXPECT_STREQ(out, "%TEMP%\\x");
}

}  // namespace
