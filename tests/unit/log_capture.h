// A log sink that keeps everything written to the log; it is the sink for as
// long as it lives. Shared by the host tests and the tests under Wine.
#pragma once
#include <string>

#include "app/log_core.h"

namespace qt {

class LogCapture : public LogSink {
public:
    LogCapture() { SetLogSink(this); }
    ~LogCapture() override { SetLogSink(nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    void Write(const char* bytes, size_t length) override {
        text.append(bytes, length);
        ++writes;
    }
    std::string text;
    int writes = 0;
};

}  // namespace qt
