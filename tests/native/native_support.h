// Helpers of the native scanner's tests: throwaway trees under /tmp, whole
// tree snapshots, and runs of the fixquorvin program.
#pragma once
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/samples/sample_factory_core.h"

namespace nt {

namespace fs = std::filesystem;
using samples::Bytes;

// A fresh folder under /tmp, removed with everything in it at the end.
class TempTree {
public:
    TempTree() {
        char name[] = "/tmp/fixquorvin-test.XXXXXX";
        if (::mkdtemp(name)) m_path = name;
    }
    ~TempTree() {
        std::error_code ec;
        if (!m_path.empty()) fs::remove_all(m_path, ec);
    }
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

inline bool WriteBytes(const std::string& path, const Bytes& data) {
    fs::create_directories(fs::path(path).parent_path());
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && ok;
}
inline Bytes ReadBytes(const std::string& path) { return samples::ReadFileBytes(path); }

// Every regular file below root (links not followed) with its content.
inline std::map<std::string, Bytes> Snapshot(const std::string& root) {
    std::map<std::string, Bytes> files;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file() && !e.is_symlink()) files[fs::relative(e.path(), root).string()] = ReadBytes(e.path());
    return files;
}

inline size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

// One entry of a quarantine folder: NNNNNNNN.info (name=value lines, the
// path %XX-escaped) and NNNNNNNN.data (bytes other than 00 and A5 XORed with A5).
struct QuarantineEntry {
    std::string path, action;
    Bytes bytes;
};
inline std::vector<QuarantineEntry> ReadQuarantine(const std::string& dir) {
    std::vector<QuarantineEntry> entries;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (e.path().extension() != ".info") continue;
        QuarantineEntry q;
        const Bytes info = ReadBytes(e.path());
        std::string text(info.begin(), info.end());
        for (size_t at = 0, end; at < text.size(); at = end + 1) {
            end = text.find('\n', at);
            if (end == std::string::npos) end = text.size();
            const std::string line = text.substr(at, end - at);
            if (line.rfind("action=", 0) == 0) q.action = line.substr(7);
            if (line.rfind("path=", 0) != 0) continue;
            for (size_t i = 5; i < line.size(); ++i) {
                if (line[i] == '%' && i + 2 < line.size()) {
                    q.path += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
                    i += 2;
                } else {
                    q.path += line[i];
                }
            }
        }
        fs::path data = e.path();
        q.bytes = ReadBytes(data.replace_extension(".data"));
        for (uint8_t& b : q.bytes)
            if (b != 0 && b != 0xA5) b ^= 0xA5;
        entries.push_back(std::move(q));
    }
    return entries;
}

struct ProgramRun {
    int exitCode = -1;   // 124: stopped after the time limit
    std::string output;
};
struct RunOptions {
    bool withErrors = false;   // standard error joins the output
    int seconds = 60;          // a run that hangs is stopped
};
// Runs the scanner with args; its standard output is returned.
// FIXQUORVIN_UNDER_TEST names another build of the program (an older one,
// to see a test fail there).
inline ProgramRun RunProgram(const std::vector<std::string>& args, RunOptions options = {}) {
    const char* other = std::getenv("FIXQUORVIN_UNDER_TEST");
    std::string command = "timeout -k 2 " + std::to_string(options.seconds) + " " + (other ? other : FIXQUORVIN_PROGRAM);
    for (const std::string& a : args) command += " '" + a + "'";
    ProgramRun run;
    FILE* p = ::popen((command + (options.withErrors ? " 2>&1" : " 2>/dev/null") + " </dev/null").c_str(), "r");
    if (!p) return run;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) run.output.append(buffer, n);
    int status = ::pclose(p);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

inline std::string ReadText(const std::string& path) {
    Bytes b = ReadBytes(path);
    return std::string(b.begin(), b.end());
}

}  // namespace nt
