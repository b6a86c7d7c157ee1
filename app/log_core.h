// Log lines and the report text. Portable: the file itself is written through
// a sink that the Win32 side provides.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <string>

constexpr size_t kMessageBufferSize = 2048;
constexpr size_t kMaxLineChars = 2044;       // usable characters of a line
constexpr size_t kMaxLogPathBytes = 1920;    // path part of a path line
constexpr size_t kPathLineSplitChars = 1792; // longer "path: " heads get a line of their own

// The shared line buffer in which every part composes its line.
extern char messageBuffer[kMessageBufferSize];

// The text the report box shows; lines separated by a single line feed.
extern std::string reportText;

class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void Write(const char* bytes, size_t length) = 0;
};

// Null turns logging off (the lines are still composed).
void SetLogSink(LogSink* sink);
LogSink* GetLogSink();

// Writes messageBuffer followed by CR LF as one write.
void WriteLogLine();
// Writes an empty line.
void WriteEmptyLine();
// Formats into messageBuffer (at most 2044 characters) and writes it.
void WriteFormattedLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
void WriteFormattedLineV(const char* format, va_list args);
// Copies text into messageBuffer (cut at 2044) and writes it.
void WriteTextLine(const char* text);
// Writes messageBuffer and appends it, with a line feed, to reportText.
void ReportLine();
void ReportText(const char* text);

// Second half of a path line: messageBuffer already holds the ANSI path
// (at most kMaxLogPathBytes). Appends ": ", splits an over-long head onto a
// line of its own, formats the message and writes the line.
void FinishPathLineV(const char* format, va_list args);
// A path line for an ANSI path.
void WritePathLine(const char* path, const char* format, ...) __attribute__((format(printf, 2, 3)));
void WritePathLineV(const char* path, const char* format, va_list args);
