// A log sink that keeps everything written to a run's log; it is that log's
// sink for as long as it lives. Shared by the host tests and the tests under Wine.
#pragma once
#include <string>

#include "run/log_core.h"

namespace testsupport {

class LogCapture : public LogSink {
public:
    explicit LogCapture(RunLog& log) : m_log(log) { log.SetSink(this); }
    ~LogCapture() override {
        if (m_log.Sink() == this) m_log.SetSink(nullptr);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    void Write(const char* bytes, size_t length) override {
        text.append(bytes, length);
        ++writes;
    }
    std::string text;
    int writes = 0;

private:
    RunLog& m_log;
};

}  // namespace testsupport
