#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "run/options_core.h"
#include "run/threat_definition.h"

namespace {

RunOptions Parse(std::string line, const ThreatDefinition& def = BuiltInDefinition()) {
    RunOptions o = DefaultRunOptions(def);
    std::vector<char> buf(line.begin(), line.end());
    buf.push_back('\0');
    ParseCommandLine(buf.data(), o, def);
    return o;
}

TEST(CommandLine, DefaultsComeFromTheDefinition) {
    RunOptions o = Parse("FixQuorvin.exe");
    EXPECT_EQ(o.logPath, "fixquorvin.log");
    EXPECT_FALSE(o.silentMode);
    EXPECT_FALSE(o.fixShares);
    EXPECT_FALSE(o.scanMappedDrives);
    EXPECT_TRUE(o.registryFixEnabled);
    EXPECT_FALSE(o.onlyDirPath.has_value());
}

TEST(CommandLine, SilentNeedsTheWholeTokenInAnyCase) {
    EXPECT_TRUE(Parse("x /s").silentMode);
    EXPECT_TRUE(Parse("x /silent").silentMode);
    EXPECT_TRUE(Parse("x /Silent").silentMode);
    EXPECT_FALSE(Parse("x /SILENTLY").silentMode);
    EXPECT_FALSE(Parse("x \"/S\"").silentMode);  // a quoted switch is not a switch
}

TEST(CommandLine, PrefixSwitchesAcceptTrailingText) {
    EXPECT_TRUE(Parse("x /START=1").startImmediately);
    EXPECT_TRUE(Parse("x /STARTUP").startImmediately);
    EXPECT_TRUE(Parse("x /MAPPEDX").scanMappedDrives);
    EXPECT_TRUE(Parse("x /HX").showHelp);
    EXPECT_TRUE(Parse("x /?X").showHelp);
    EXPECT_TRUE(Parse("x /help").showHelp);
    EXPECT_TRUE(Parse("x /nosilentreboot").noSilentReboot);
    EXPECT_TRUE(Parse("x /NOCANCEL").noCancel);
    EXPECT_FALSE(Parse("x /NOFIXSHARE").fixShares);
}

TEST(CommandLine, ExactSwitchesRejectTrailingText) {
    RunOptions o = Parse("x /NOFILESCANX /NOVULNCHECKS");
    EXPECT_FALSE(o.noFileScan);
    EXPECT_FALSE(o.noVulnerabilityCheck);
    o = Parse("x /NOFILESCAN /NOVULNCHECK");
    EXPECT_TRUE(o.noFileScan);
    EXPECT_TRUE(o.noVulnerabilityCheck);
}

TEST(CommandLine, ExclusionsAreUpperCasedUnquotedAndAccumulate) {
    RunOptions o = Parse("x /EXCLUDE=\"C:\\Program Files\\X\" /exclude=d:\\tmp");
    ASSERT_EQ(o.exclusionList.size(), 2u);
    EXPECT_EQ(o.exclusionList[0], "C:\\PROGRAM FILES\\X");
    EXPECT_EQ(o.exclusionList[1], "D:\\TMP");
    EXPECT_TRUE(o.exclusionsGiven);
    // Only a leading quote is required for the trailing one to go.
    EXPECT_EQ(Parse("x /EXCLUDE=\"C:\\A").exclusionList.at(0), "C:\\A");
    EXPECT_EQ(Parse("x /EXCLUDE=C:\\A\"").exclusionList.at(0), "C:\\A\"");
}

// The path switches lose one pair of surrounding quotes alike, so that a
// path with blanks can be given; the text inside is kept as it is.
TEST(CommandLine, PathValuesLoseOnePairOfQuotes) {
    struct {
        const char* value;
        const char* path;
    } cases[] = {
        {"\"c:\\my logs\\a.log\"", "C:\\MY LOGS\\A.LOG"},
        {"\"C:\\BT\\B T", "C:\\BT\\B T"},            // a leading quote alone goes too
        {"C:\\A\"", "C:\\A\""},                       // a trailing one alone stays
        {"\"\"C:\\A\"\"", "\"C:\\A\""},              // one pair only
        {"C:\\PLAIN", "C:\\PLAIN"},
    };
    for (auto& c : cases) {
        for (const char* sw : {"/LOG=", "/ONLYDIR=", "/EXCLUDE="}) {
            RunOptions o = Parse(std::string("x ") + sw + c.value);
            std::string got = sw[1] == 'L'   ? o.logPath
                              : sw[1] == 'O' ? o.onlyDirPath.value_or("(none)")
                                             : (o.exclusionList.empty() ? "(none)" : o.exclusionList[0]);
            EXPECT_EQ(got, c.path) << sw << c.value;
        }
    }
    // Empty, quoted or not: a log path that cannot be created, a scan
    // directory that names nothing, and no exclusion at all (an empty prefix
    // would exclude every path).
    for (const char* empty : {"", "\"\""}) {
        RunOptions o = Parse(std::string("x /LOG=") + empty + " /ONLYDIR=" + empty + " /EXCLUDE=" + empty +
                             " /EXCLUDE=C:\\X /EXCLUDE=" + empty);
        EXPECT_EQ(o.logPath, "") << empty;
        EXPECT_EQ(o.onlyDirPath, std::optional<std::string>("")) << empty;
        EXPECT_EQ(o.exclusionList, std::vector<std::string>{"C:\\X"}) << empty;
        EXPECT_FALSE(Parse(std::string("x /EXCLUDE=") + empty).exclusionsGiven) << empty;
    }
}

// A value switch quoted whole, as PowerShell, deployment tools and Wine pass
// an argument with a blank, means what the switch with its value quoted means.
TEST(CommandLine, SwitchQuotedWholeMeansItsValueQuoted) {
    const char* switches[] = {"/ONLYDIR=", "/EXCLUDE=", "/LOG=", "/RWPWD=", "/ROPWD="};
    auto value = [](const RunOptions& o, const std::string& sw) -> std::string {
        if (sw == "/ONLYDIR=") return o.onlyDirPath.value_or("(none)");
        if (sw == "/EXCLUDE=") return o.exclusionList.empty() ? "(none)" : o.exclusionList[0];
        if (sw == "/LOG=") return o.logPath;
        return sw == "/RWPWD=" ? o.readWritePassword : o.readOnlyPassword;
    };
    for (const char* v : {"C:\\data\\My Apps", "C:\\plain", "a b c"}) {
        for (const std::string sw : switches) {
            RunOptions quoted = Parse("x " + sw + "\"" + v + "\" /S");
            RunOptions whole = Parse("x \"" + sw + v + "\" /S");
            EXPECT_EQ(value(whole, sw), value(quoted, sw)) << sw << v;
            EXPECT_NE(value(whole, sw), "(none)") << sw << v;
            EXPECT_TRUE(whole.silentMode) << sw << v;
            EXPECT_TRUE(whole.ignoredTokens.empty()) << sw << v;
        }
    }
    EXPECT_EQ(Parse("x \"/ONLYDIR=C:\\data\\My Apps\"").onlyDirPath, std::optional<std::string>("C:\\DATA\\MY APPS"));
    EXPECT_TRUE(Parse("x \"/LOG=C:\\a b.log\"").logPathGiven);
    // Only switches that take a value: a quoted /S is still no switch.
    RunOptions o = Parse("x \"/S\" \"/MAPPED\"");
    EXPECT_FALSE(o.silentMode);
    EXPECT_FALSE(o.scanMappedDrives);
}

// Whole tokens in any case, repeated or not; a near miss is an unknown switch.
TEST(CommandLine, DryRunAndExitCodeAreExactSwitches) {
    RunOptions o = Parse("x /dryrun /ExitCode /DRYRUN /EXITCODE");
    EXPECT_TRUE(o.dryRun);
    EXPECT_TRUE(o.exitCodeWanted);
    EXPECT_TRUE(o.ignoredTokens.empty());
    o = Parse("x /DRYRUNX /EXITCODES /DRY");
    EXPECT_FALSE(o.dryRun);
    EXPECT_FALSE(o.exitCodeWanted);
    EXPECT_EQ(o.ignoredTokens, (std::vector<std::string>{"/DRYRUNX", "/EXITCODES", "/DRY"}));
    o = Parse("x /S");
    EXPECT_FALSE(o.dryRun);
    EXPECT_FALSE(o.exitCodeWanted);
}

TEST(CommandLine, TokensThatMatchNothingAreKeptForTheLog) {
    RunOptions o = Parse("x /S /silnet \"/S\" stray /NOFILESCANX /DELADMIN /MAPPED");
    EXPECT_EQ(o.ignoredTokens, (std::vector<std::string>{"/SILNET", "\"/S\"", "STRAY", "/NOFILESCANX"}));
    EXPECT_TRUE(o.silentMode);
    EXPECT_TRUE(o.scanMappedDrives);
    EXPECT_TRUE(Parse("x /S /LOG=a /EXCLUDE= /HX /START=1").ignoredTokens.empty());
    EXPECT_FALSE(Parse("x /S").logPathGiven);
}

// An unquoted path with blanks: the rest after /ONLYDIR= is kept with it,
// up to the next switch.
TEST(CommandLine, TextAfterAnUnquotedOnlyDirIsKeptWithIt) {
    struct {
        const char* line;
        const char* onlyDir;
        const char* rest;
    } cases[] = {
        {"x /S /ONLYDIR=C:\\data\\My Apps /LOG=q.log", "C:\\DATA\\MY", "APPS"},
        {"x /ONLYDIR=C:\\My Big Apps", "C:\\MY", "BIG APPS"},
        {"x /ONLYDIR=C:\\A /SILNET B", "C:\\A", ""},
        {"x /ONLYDIR=C:\\A B /ONLYDIR=C:\\C", "C:\\C", ""},
        {"x /ONLYDIR=\"C:\\My Apps\"", "C:\\MY APPS", ""},
    };
    for (auto& c : cases) {
        RunOptions o = Parse(c.line);
        EXPECT_EQ(o.onlyDirPath, std::optional<std::string>(c.onlyDir)) << c.line;
        EXPECT_EQ(o.onlyDirRest, c.rest) << c.line;
    }
}

TEST(CommandLine, LaterLogValuesWin) {
    EXPECT_EQ(Parse("x /LOG=a.log /LOG=b.log").logPath, "B.LOG");
    EXPECT_EQ(Parse("x /LOG=%temp%\\q.log").logPath, "%TEMP%\\Q.LOG");
}

TEST(CommandLine, PasswordsAndOnlyDir) {
    RunOptions o = Parse("x /RWPWD=secret /ROPWD=pw /ONLYDIR=c:\\data");
    EXPECT_EQ(o.readWritePassword, "SECRET");
    EXPECT_TRUE(o.readWritePasswordGiven);
    EXPECT_EQ(o.readOnlyPassword, "PW");
    EXPECT_TRUE(o.readOnlyPasswordGiven);
    ASSERT_TRUE(o.onlyDirPath.has_value());
    EXPECT_EQ(*o.onlyDirPath, "C:\\DATA");
}

TEST(CommandLine, DelAdminOnlyWhereTheDefinitionAllowsIt) {
    EXPECT_FALSE(Parse("x /DELADMIN").deleteAdminShares);
    ThreatDefinition def = BuiltInDefinition();
    def.adminShareDeleteAllowed = 1;
    EXPECT_TRUE(Parse("x /DELADMIN", def).deleteAdminShares);
}

TEST(CommandLine, ProgramNameIsSkippedQuotedOrNot) {
    // A quoted program name may contain blanks and switch-like text.
    RunOptions o = Parse("\"C:\\Tools Dir\\/S FixQuorvin.exe\" /MAPPED");
    EXPECT_FALSE(o.silentMode);
    EXPECT_TRUE(o.scanMappedDrives);
    EXPECT_FALSE(Parse("/S").silentMode);   // the first word is the program
    EXPECT_TRUE(Parse("x    /S   ").silentMode);
}

TEST(CommandLine, QuotesKeepBlanksInsideOneToken) {
    // After the second quote the next blank ends the token.
    RunOptions o = Parse("x /RWPWD=\"c:\\a b\"c /S");
    EXPECT_EQ(o.readWritePassword, "\"C:\\A B\"C");
    EXPECT_TRUE(o.silentMode);
    // A third quote is not counted: the blank after it still ends the token.
    o = Parse("x /RWPWD=\"a b\"\"c /S");
    EXPECT_EQ(o.readWritePassword, "\"A B\"\"C");
    EXPECT_TRUE(o.silentMode);
}

TEST(CommandLine, LongLinesAreParsedToTheEnd) {
    std::string line = "x /EXCLUDE=C:\\" + std::string(400, 'a');
    line += " /S /EXCLUDE=C:\\LAST";
    RunOptions o = Parse(line);
    EXPECT_TRUE(o.silentMode);
    ASSERT_EQ(o.exclusionList.size(), 2u);
    EXPECT_EQ(o.exclusionList[0].size(), 403u);
    EXPECT_EQ(o.exclusionList[1], "C:\\LAST");
}

TEST(CommandLine, HelpTextEndsWithOneEmptyLine) {
    std::string help = kHelpText;
    const std::string last = "   /NOCANCEL - Disables the \"Cancel\" button.\n\n";
    EXPECT_EQ(help.substr(help.size() - last.size()), last);
    EXPECT_EQ(help.find("The following command-line switches are available in this tool:\n\n"), 0u);
    EXPECT_NE(help.find("\n   /DRYRUN - "), std::string::npos);
    EXPECT_NE(help.find("\n   /EXITCODE - "), std::string::npos);
}

}  // namespace
