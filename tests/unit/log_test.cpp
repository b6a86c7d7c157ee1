#include <gtest/gtest.h>

#include <string>

#include "app/log_core.h"
#include "tests/unit/log_capture.h"

namespace {

class Log : public ::testing::Test {
protected:
    void SetUp() override { reportText.clear(); }
    qt::LogCapture sink;
};

TEST_F(Log, LinesEndWithCrLfAndAreOneWriteEach) {
    WriteFormattedLine("%s: %d", "count", 3);
    WriteEmptyLine();
    WriteTextLine("\r\nThe tool was executed in silent mode.\r\n");
    EXPECT_EQ(sink.text, "count: 3\r\n\r\n\r\nThe tool was executed in silent mode.\r\n\r\n");
    EXPECT_EQ(sink.writes, 3);
}

TEST_F(Log, ReportLineGoesToLogAndReport) {
    ReportText("first");
    ReportText("");
    EXPECT_EQ(sink.text, "first\r\n\r\n");
    EXPECT_EQ(reportText, "first\n\n");
}

TEST_F(Log, NoSinkStillComposesTheReport) {
    SetLogSink(nullptr);
    ReportText("kept");
    EXPECT_EQ(reportText, "kept\n");
    EXPECT_EQ(sink.text, "");
}

TEST_F(Log, LinesAreCutAt2044Characters) {
    std::string longText(3000, 'x');
    WriteFormattedLine("%s", longText.c_str());
    EXPECT_EQ(sink.text, std::string(2044, 'x') + "\r\n");
    sink.text.clear();
    WriteTextLine(longText.c_str());
    EXPECT_EQ(sink.text, std::string(2044, 'x') + "\r\n");
}

TEST_F(Log, PathLine) {
    WritePathLine("C:\\A\\B.EXE", "infected with %s", "W32.Quorvin!inf");
    EXPECT_EQ(sink.text, "C:\\A\\B.EXE: infected with W32.Quorvin!inf\r\n");
}

TEST_F(Log, LongPathGetsAContinuationLine) {
    std::string path(1800, 'p');
    WritePathLine(path.c_str(), "(deleted)");
    EXPECT_EQ(sink.text, path + ": \r\n    (deleted)\r\n");
}

TEST_F(Log, PathHeadAtTheSplitBoundaryStaysOnOneLine) {
    std::string path(1790, 'p');   // 1790 + ": " = 1792: not longer than the limit
    WritePathLine(path.c_str(), "ok");
    EXPECT_EQ(sink.text, path + ": ok\r\n");
    sink.text.clear();
    path += 'p';                   // 1793: split
    WritePathLine(path.c_str(), "ok");
    EXPECT_EQ(sink.text, path + ": \r\n    ok\r\n");
}

TEST_F(Log, PathIsCutAt1920AndTheMessageAt2044) {
    std::string path(2500, 'p');
    std::string message(3000, 'm');
    WritePathLine(path.c_str(), "%s", message.c_str());
    EXPECT_EQ(sink.text, std::string(1920, 'p') + ": \r\n    " + std::string(2040, 'm') + "\r\n");
    sink.text.clear();
    WritePathLine("short", "%s", message.c_str());
    EXPECT_EQ(sink.text, "short: " + std::string(2044 - 7, 'm') + "\r\n");
}

}  // namespace
