#include "run/log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "win32/unique_handle.h"

namespace {

class FileSink : public LogSink {
public:
    explicit FileSink(HANDLE file) : m_file(file) {}
    void Write(const char* bytes, size_t length) override {
        DWORD written = 0;
        WriteFile(m_file.get(), bytes, static_cast<DWORD>(length), &written, nullptr);
    }
    void Flush() override { FlushFileBuffers(m_file.get()); }

private:
    win32::UniqueFile m_file;
};

// Reads one string of our version resource: "\StringFileInfo\<lang><cp>\<name>".
bool QueryVersionString(const char* name, std::string& out) {
    char path[MAX_PATH + 1] = {};
    if (!GetModuleFileNameA(nullptr, path, MAX_PATH)) return false;
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &handle);
    if (!size) return false;
    std::vector<char> data(size);
    if (!GetFileVersionInfoA(path, 0, size, data.data())) return false;
    struct LangCodePage { WORD language; WORD codePage; }* translation = nullptr;
    UINT len = 0;
    if (!VerQueryValueA(data.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &len) ||
        len < sizeof(LangCodePage))
        return false;
    char key[128];
    std::snprintf(key, sizeof key, "\\StringFileInfo\\%04x%04x\\%s", translation->language, translation->codePage, name);
    char* value = nullptr;
    if (!VerQueryValueA(data.data(), key, reinterpret_cast<void**>(&value), &len) || !value) return false;
    out.assign(value, strnlen(value, len));
    return true;
}

}  // namespace

bool OpenLogFile(RunLog& log, const char* path) {
    log.Close();
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    log.AdoptSink(std::make_unique<FileSink>(file));
    return true;
}

std::string OpenFallbackLog(RunLog& log, const char* failedPath, const char* name) {
    if (!name || !*name) return std::string();
    std::string candidates[2];
    char temp[MAX_PATH + 1] = {};
    DWORD n = GetTempPathA(MAX_PATH, temp);
    if (n && n < MAX_PATH) candidates[0] = std::string(temp) + name;
    candidates[1] = name;
    for (const std::string& path : candidates) {
        // The path that failed is not tried again.
        if (path.empty() || lstrcmpiA(path.c_str(), failedPath) == 0) continue;
        if (OpenLogFile(log, path.c_str())) return path;
    }
    return std::string();
}

std::string GetProductTitle() {
    std::string name, version;
    QueryVersionString("ProductName", name);
    if (!QueryVersionString("ProductVersion", version)) return std::string();
    return name + " " + version;
}

std::string GetLegalNoticeText() {
    std::string text;
    QueryVersionString("LegalCopyright", text);
    return text;
}

std::string GetAppName() {
    char path[MAX_PATH + 1] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    const char* base = std::strrchr(path, '\\');
    std::string name = base ? base + 1 : path;
    size_t dot = name.rfind('.');
    if (dot != std::string::npos) name.resize(dot);
    return name;
}
