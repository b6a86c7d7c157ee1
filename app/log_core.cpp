#include "app/log_core.h"

#include <cstdio>
#include <cstring>

char messageBuffer[kMessageBufferSize];
std::string reportText;

namespace {
LogSink* g_sink = nullptr;
char g_lineBuffer[kMessageBufferSize + 2];
}  // namespace

void SetLogSink(LogSink* sink) { g_sink = sink; }
LogSink* GetLogSink() { return g_sink; }

void WriteLogLine() {
    messageBuffer[kMaxLineChars] = '\0';
    size_t n = std::strlen(messageBuffer);
    std::memcpy(g_lineBuffer, messageBuffer, n);
    g_lineBuffer[n] = '\r';
    g_lineBuffer[n + 1] = '\n';
    if (g_sink) g_sink->Write(g_lineBuffer, n + 2);
}

void WriteEmptyLine() {
    messageBuffer[0] = '\0';
    WriteLogLine();
}

void WriteFormattedLineV(const char* format, va_list args) {
    int n = std::vsnprintf(messageBuffer, kMaxLineChars + 1, format, args);
    if (n < 0) messageBuffer[0] = '\0';
    messageBuffer[kMaxLineChars] = '\0';
    WriteLogLine();
}

void WriteFormattedLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteFormattedLineV(format, args);
    va_end(args);
}

void WriteTextLine(const char* text) {
    std::snprintf(messageBuffer, kMaxLineChars + 1, "%s", text ? text : "");
    WriteLogLine();
}

void ReportLine() {
    WriteLogLine();
    reportText += messageBuffer;
    reportText += '\n';
}

void ReportText(const char* text) {
    std::snprintf(messageBuffer, kMaxLineChars + 1, "%s", text ? text : "");
    ReportLine();
}

void FinishPathLineV(const char* format, va_list args) {
    messageBuffer[kMaxLogPathBytes] = '\0';
    size_t n = std::strlen(messageBuffer);
    messageBuffer[n++] = ':';
    messageBuffer[n++] = ' ';
    messageBuffer[n] = '\0';
    if (n > kPathLineSplitChars) {
        WriteLogLine();
        std::memcpy(messageBuffer, "    ", 5);
        n = 4;
    }
    int w = std::vsnprintf(messageBuffer + n, kMaxLineChars + 1 - n, format, args);
    if (w < 0) messageBuffer[n] = '\0';
    messageBuffer[kMaxLineChars] = '\0';
    WriteLogLine();
}

void WritePathLineV(const char* path, const char* format, va_list args) {
    size_t len = path ? std::strlen(path) : 0;
    if (len > kMaxLogPathBytes) len = kMaxLogPathBytes;
    if (len) std::memcpy(messageBuffer, path, len);
    messageBuffer[len] = '\0';
    FinishPathLineV(format, args);
}

void WritePathLine(const char* path, const char* format, ...) {
    va_list args;
    va_start(args, format);
    WritePathLineV(path, format, args);
    va_end(args);
}
