// Log lines and the report text. Portable: the file itself is written through
// a sink that the Win32 side provides.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <memory>
#include <string>

constexpr size_t kMessageBufferSize = 2048;
constexpr size_t kMaxLineChars = 2044;       // usable characters of a line
constexpr size_t kMaxLogPathBytes = 1920;    // path part of a path line
constexpr size_t kPathLineSplitChars = 1792; // longer "path: " heads get a line of their own

class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void Write(const char* bytes, size_t length) = 0;
    virtual void Flush() {}
};

// The log of one run: every line is composed in its own 2048-byte buffer, cut
// at 2044 characters and written with CR LF as one write. Without a sink the
// lines are still composed (and the report text kept).
class RunLog {
public:
    // A sink the caller keeps alive (tests), or null for none.
    void SetSink(LogSink* sink);
    // A sink the log owns from now on (the log file).
    void AdoptSink(std::unique_ptr<LogSink> sink);
    LogSink* Sink() const { return m_sink; }
    void Flush();
    // Drops the sink (and closes an owned one).
    void Close();

    void Line(const char* text);
    void Empty();
    void Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void FormatV(const char* format, va_list args);
    // "path: message". The ANSI path is cut at 1920 bytes; a head longer than
    // 1792 characters goes on a line of its own and the message follows on a
    // line that starts with four blanks.
    void PathLine(const char* path, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void PathLineV(const char* path, const char* format, va_list args);
    // A line that also goes into the report text (with a line feed).
    void Report(const char* text);
    void ReportFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // The text the report box shows; lines separated by a single line feed.
    std::string reportText;

private:
    void WriteBuffer();

    LogSink* m_sink = nullptr;
    std::unique_ptr<LogSink> m_owned;
    char m_line[kMessageBufferSize + 2] = {};
};
