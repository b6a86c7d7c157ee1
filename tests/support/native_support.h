// Helpers of the native scanner's tests: throwaway trees under /tmp, whole
// tree snapshots, and runs of the fixquorvin program.
#pragma once
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
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

inline std::string ReadText(const std::string& path) {
    Bytes b = ReadBytes(path);
    return std::string(b.begin(), b.end());
}

// An infected program the scanner repairs, and one whose repair fails (the
// file is corrupted).
inline Bytes Infected(uint32_t seed, uint32_t overlayBytes = 0) {
    return samples::MakeInfected(samples::MakeCleanHost({.seed = seed, .overlayBytes = overlayBytes}), {.seed = seed + 1});
}
inline Bytes Broken(uint32_t seed) {
    return samples::MakeInfected(samples::MakeCleanHost({.seed = seed}),
                                 {.seed = seed + 1, .form = samples::BodyForm::TwoLayer, .twoLayerOperation = 0x33});
}

// A small tmpfs on a folder of the test, unmounted before the folder goes.
struct Tmpfs {
    std::string point;   // once mounted
    bool Mount(const std::string& at, size_t bytes) {
        if (::mount("tmpfs", at.c_str(), "tmpfs", 0, ("size=" + std::to_string(bytes)).c_str()) == 0) point = at;
        return !point.empty();
    }
    ~Tmpfs() {
        if (!point.empty()) ::umount2(point.c_str(), MNT_DETACH);
    }
};

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
        std::istringstream info(ReadText(e.path()));
        for (std::string line; std::getline(info, line);) {
            if (line.starts_with("action=")) q.action = line.substr(7);
            if (line.starts_with("path="))
                for (size_t i = 5; i < line.size(); i += line[i] == '%' ? 3 : 1)
                    q.path += line[i] == '%' ? static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16)) : line[i];
        }
        fs::path data = e.path();
        q.bytes = ReadBytes(data.replace_extension(".data"));
        for (uint8_t& b : q.bytes)
            if (b != 0 && b != 0xA5) b ^= 0xA5;
        entries.push_back(std::move(q));
    }
    return entries;
}

// The program under test: FIXQUORVIN_UNDER_TEST names another build of it
// (an older one, to see a test fail there).
inline std::string Program() {
    const char* other = std::getenv("FIXQUORVIN_UNDER_TEST");
    return other ? other : FIXQUORVIN_PROGRAM;
}

struct ProgramRun {
    int exitCode = -1;   // 124: stopped after the time limit
    std::string output;
};
struct RunOptions {
    bool withErrors = false;   // standard error joins the output
    int seconds = 60;          // a run that hangs is stopped
    std::string shell;         // shell words before the program ("ulimit -n 256 &&", "setpriv ...")
};
// Runs the scanner with args; its standard output is returned.
inline ProgramRun RunProgram(const std::vector<std::string>& args, const RunOptions& options = {}) {
    std::string command = options.shell + " timeout -k 2 " + std::to_string(options.seconds) + " '" + Program() + "'";
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

}  // namespace nt
