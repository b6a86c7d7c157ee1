#include <gtest/gtest.h>

#include <string>

#include "run/log_core.h"
#include "tests/support/log_capture.h"

namespace {

class Log : public ::testing::Test {
protected:
    RunLog runLog;
    testsupport::LogCapture sink{runLog};
};

TEST_F(Log, LinesEndWithCrLfAndAreOneWriteEach) {
    runLog.Format("%s: %d", "count", 3);
    runLog.Empty();
    runLog.Line("\r\nThe tool was executed in silent mode.\r\n");
    EXPECT_EQ(sink.text, "count: 3\r\n\r\n\r\nThe tool was executed in silent mode.\r\n\r\n");
    EXPECT_EQ(sink.writes, 3);
}

TEST_F(Log, ReportLineGoesToLogAndReport) {
    runLog.Report("first");
    runLog.Report("");
    EXPECT_EQ(sink.text, "first\r\n\r\n");
    EXPECT_EQ(runLog.reportText, "first\n\n");
}

TEST_F(Log, NoSinkStillComposesTheReport) {
    runLog.SetSink(nullptr);
    runLog.Report("kept");
    EXPECT_EQ(runLog.reportText, "kept\n");
    EXPECT_EQ(sink.text, "");
}

TEST_F(Log, LinesAreCutAt2044Characters) {
    std::string longText(3000, 'x');
    runLog.Format("%s", longText.c_str());
    EXPECT_EQ(sink.text, std::string(2044, 'x') + "\r\n");
    sink.text.clear();
    runLog.Line(longText.c_str());
    EXPECT_EQ(sink.text, std::string(2044, 'x') + "\r\n");
}

TEST_F(Log, PathLine) {
    runLog.PathLine("C:\\A\\B.EXE", "infected with %s", "W32.Quorvin!inf");
    EXPECT_EQ(sink.text, "C:\\A\\B.EXE: infected with W32.Quorvin!inf\r\n");
}

TEST_F(Log, LongPathGetsAContinuationLine) {
    std::string path(1800, 'p');
    runLog.PathLine(path.c_str(), "(deleted)");
    EXPECT_EQ(sink.text, path + ": \r\n    (deleted)\r\n");
}

TEST_F(Log, PathHeadAtTheSplitBoundaryStaysOnOneLine) {
    std::string path(1790, 'p');   // 1790 + ": " = 1792: not longer than the limit
    runLog.PathLine(path.c_str(), "ok");
    EXPECT_EQ(sink.text, path + ": ok\r\n");
    sink.text.clear();
    path += 'p';                   // 1793: split
    runLog.PathLine(path.c_str(), "ok");
    EXPECT_EQ(sink.text, path + ": \r\n    ok\r\n");
}

TEST_F(Log, PathIsCutAt1920AndTheMessageAt2044) {
    std::string path(2500, 'p');
    std::string message(3000, 'm');
    runLog.PathLine(path.c_str(), "%s", message.c_str());
    EXPECT_EQ(sink.text, std::string(1920, 'p') + ": \r\n    " + std::string(2040, 'm') + "\r\n");
    sink.text.clear();
    runLog.PathLine("short", "%s", message.c_str());
    EXPECT_EQ(sink.text, "short: " + std::string(2044 - 7, 'm') + "\r\n");
}

}  // namespace
