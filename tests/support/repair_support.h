// Helpers of the detection and repair tests under Wine: report numbers,
// ".fix" leftovers, PE values of repaired files, program output.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "support/support.h"
#include "tests/samples/sample_factory_core.h"

namespace rt {

using samples::Bytes;

// The number after "label" in a report, or -1.
inline long ReportNumber(const std::string& log, const std::string& label) {
    size_t at = log.find(label);
    if (at == std::string::npos) return -1;
    return std::strtol(log.c_str() + at + label.size(), nullptr, 10);
}

// Paths of files below dir whose name holds ".fix" (recursively).
inline void FixLeftovers(const std::string& dir, std::vector<std::string>& out) {
    WIN32_FIND_DATAA e;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &e);
    if (h == INVALID_HANDLE_VALUE) return;
    do {
        std::string name = e.cFileName;
        if (name == "." || name == "..") continue;
        if (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) FixLeftovers(dir + "\\" + name, out);
        else if (name.find(".fix") != std::string::npos) out.push_back(dir + "\\" + name);
    } while (FindNextFileA(h, &e));
    FindClose(h);
}
inline std::vector<std::string> FixLeftovers(const std::string& dir) {
    std::vector<std::string> out;
    FixLeftovers(dir, out);
    return out;
}

// Entry point, section count, image size and length of a PE image.
struct PeValues {
    uint32_t entryPoint = 0, sections = 0, sizeOfImage = 0;
    size_t length = 0;
    bool operator==(const PeValues&) const = default;
};
inline PeValues Values(const Bytes& image) {
    samples::PeInfo pe = samples::ReadPe(image);
    return {pe.entryPoint, pe.sections, pe.sizeOfImage, image.size()};
}

// Output of a console program.
inline std::string Output(const std::string& exe) {
    testsupport::ProcessResult r = testsupport::Run("\"" + exe + "\"", "", 60000, true);
    return r.finished ? r.output : std::string("(did not finish)");
}

}  // namespace rt
