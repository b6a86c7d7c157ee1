#include "run/log_core.h"

#include <cstdio>
#include <cstring>

void RunLog::SetSink(LogSink* sink) {
    m_owned.reset();
    m_sink = sink;
}

void RunLog::AdoptSink(std::unique_ptr<LogSink> sink) {
    m_owned = std::move(sink);
    m_sink = m_owned.get();
}

void RunLog::Flush() {
    if (m_sink) m_sink->Flush();
}

void RunLog::Close() {
    m_sink = nullptr;
    m_owned.reset();
}

void RunLog::WriteBuffer() {
    m_line[kMaxLineChars] = '\0';
    size_t n = std::strlen(m_line);
    m_line[n] = '\r';
    m_line[n + 1] = '\n';
    if (m_sink) m_sink->Write(m_line, n + 2);
    m_line[n] = '\0';
}

void RunLog::Line(const char* text) {
    std::snprintf(m_line, kMaxLineChars + 1, "%s", text ? text : "");
    WriteBuffer();
}

void RunLog::Empty() { Line(""); }

void RunLog::FormatV(const char* format, va_list args) {
    if (std::vsnprintf(m_line, kMaxLineChars + 1, format, args) < 0) m_line[0] = '\0';
    WriteBuffer();
}

void RunLog::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    FormatV(format, args);
    va_end(args);
}

void RunLog::PathLineV(const char* path, const char* format, va_list args) {
    size_t n = path ? strnlen(path, kMaxLogPathBytes) : 0;
    if (n) std::memcpy(m_line, path, n);
    m_line[n++] = ':';
    m_line[n++] = ' ';
    m_line[n] = '\0';
    if (n > kPathLineSplitChars) {
        WriteBuffer();
        std::memcpy(m_line, "    ", 5);
        n = 4;
    }
    if (std::vsnprintf(m_line + n, kMaxLineChars + 1 - n, format, args) < 0) m_line[n] = '\0';
    WriteBuffer();
}

void RunLog::PathLine(const char* path, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PathLineV(path, format, args);
    va_end(args);
}

void RunLog::Report(const char* text) {
    Line(text);
    reportText += m_line;
    reportText += '\n';
}

void RunLog::ReportFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (std::vsnprintf(m_line, kMaxLineChars + 1, format, args) < 0) m_line[0] = '\0';
    va_end(args);
    WriteBuffer();
    reportText += m_line;
    reportText += '\n';
}
