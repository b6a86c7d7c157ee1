#include "app/log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

class FileSink : public LogSink {
public:
    explicit FileSink(HANDLE file) : m_file(file) {}
    ~FileSink() override { CloseHandle(m_file); }
    void Write(const char* bytes, size_t length) override {
        DWORD written = 0;
        WriteFile(m_file, bytes, static_cast<DWORD>(length), &written, nullptr);
    }
    void Flush() { FlushFileBuffers(m_file); }

private:
    HANDLE m_file;
};

FileSink* g_fileSink = nullptr;

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

bool OpenLogFile(const char* path) {
    CloseLogFile();
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    g_fileSink = new FileSink(file);
    SetLogSink(g_fileSink);
    return true;
}

void FlushLogFile() {
    if (g_fileSink) g_fileSink->Flush();
}

void CloseLogFile() {
    SetLogSink(nullptr);
    delete g_fileSink;
    g_fileSink = nullptr;
}

void WritePathLineV(const wchar_t* path, const char* format, va_list args) {
    messageBuffer[0] = '\0';
    if (path) {
        if (wcsncmp(path, L"\\\\?\\", 4) == 0) path += 4;
        int need = WideCharToMultiByte(CP_ACP, 0, path, -1, nullptr, 0, nullptr, nullptr);
        if (need > 0) {
            std::vector<char> ansi(need);
            if (WideCharToMultiByte(CP_ACP, 0, path, -1, ansi.data(), need, nullptr, nullptr) > 0) {
                size_t n = std::min(strlen(ansi.data()), kMaxLogPathBytes);
                std::memcpy(messageBuffer, ansi.data(), n);
                messageBuffer[n] = '\0';
            }
        }
    }
    FinishPathLineV(format, args);
}

void WritePathLine(const wchar_t* path, const char* format, ...) {
    va_list args;
    va_start(args, format);
    WritePathLineV(path, format, args);
    va_end(args);
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
