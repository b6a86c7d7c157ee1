#include "support/support.h"

#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "win32/unique_handle.h"

namespace testsupport {

bool ProcessMemoryReadable() {
    static const uint32_t probe = 0x5155;
    uint32_t copy = 0;
    SIZE_T done = 0;
    return ReadProcessMemory(GetCurrentProcess(), &probe, &copy, sizeof copy, &done) && copy == probe;
}

bool CpuEmulated() {
    char value[8] = {};
    return GetEnvironmentVariableA("QUORVIN_CPU_EMULATED", value, sizeof value) > 0 && value[0] == '1';
}

std::wstring Wide(const std::string& ansi) {
    int n = MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, nullptr, 0);
    std::wstring w(n > 0 ? n : 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, &w[0], n);
    w.resize(n > 0 ? n - 1 : 0);
    return w;
}

std::string Ansi(const std::wstring& wide) {
    int n = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? n : 1, '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, &s[0], n, nullptr, nullptr);
    s.resize(n > 0 ? n - 1 : 0);
    return s;
}

std::wstring LongPath(const std::string& path) { return L"\\\\?\\" + Wide(path); }

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end = text.find("\r\n"); end != std::string::npos; end = text.find("\r\n", start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

bool SetRegValue(HKEY root, const std::string& key, const char* name, DWORD type, const void* data, DWORD size) {
    HKEY k = nullptr;
    if (RegCreateKeyExA(root, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k, nullptr) != ERROR_SUCCESS)
        return false;
    LONG r = RegSetValueExA(k, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(k);
    return r == ERROR_SUCCESS;
}

bool SetRegString(HKEY root, const std::string& key, const char* name, const std::string& text, DWORD type) {
    return SetRegValue(root, key, name, type, text.c_str(), static_cast<DWORD>(text.size() + 1));
}

bool SetRegDword(HKEY root, const std::string& key, const char* name, DWORD value) {
    return SetRegValue(root, key, name, REG_DWORD, &value, sizeof value);
}

bool GetRegValue(HKEY root, const std::string& key, const char* name, DWORD& type, std::vector<uint8_t>& data) {
    HKEY k = nullptr;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) return false;
    DWORD size = 0;
    LONG r = RegQueryValueExA(k, name, nullptr, &type, nullptr, &size);
    if (r == ERROR_SUCCESS) {
        data.assign(size, 0);
        r = RegQueryValueExA(k, name, nullptr, &type, data.data(), &size);
        data.resize(size);
    }
    RegCloseKey(k);
    return r == ERROR_SUCCESS;
}

bool RegValueExists(HKEY root, const std::string& key, const char* name) {
    DWORD type = 0;
    std::vector<uint8_t> data;
    return GetRegValue(root, key, name, type, data);
}

bool RegKeyExists(HKEY root, const std::string& key) {
    HKEY k = nullptr;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) return false;
    RegCloseKey(k);
    return true;
}

std::vector<std::string> RegSubkeys(HKEY root, const std::string& key) {
    std::vector<std::string> names;
    HKEY k = nullptr;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_ENUMERATE_SUB_KEYS, &k) != ERROR_SUCCESS) return names;
    char name[1024];
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof name;
        if (RegEnumKeyExA(k, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name, length);
    }
    RegCloseKey(k);
    return names;
}

std::string SelfPath() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

std::string BinDir() {
    const std::string p = SelfPath();
    return p.substr(0, p.rfind('\\'));
}

std::string OutDir() {
    CreateDirectoryA("C:\\quorvin", nullptr);
    CreateDirectoryA("C:\\quorvin\\out", nullptr);
    return "C:\\quorvin\\out";
}

std::string NewWorkDir(const std::string& name) {
    CreateDirectoryA("C:\\quorvin", nullptr);
    CreateDirectoryA("C:\\quorvin\\work", nullptr);
    static int counter = 0;
    std::string dir = "C:\\quorvin\\work\\" + name + "." + std::to_string(GetCurrentProcessId()) + "." +
                      std::to_string(++counter);
    CreateDirectoryA(dir.c_str(), nullptr);
    return dir;
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::vector<uint8_t> bytes;
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return bytes;
    DWORD size = GetFileSize(f, nullptr);
    if (size != INVALID_FILE_SIZE) {
        bytes.resize(size);
        DWORD got = 0;
        if (size && !ReadFile(f, bytes.data(), size, &got, nullptr)) got = 0;
        bytes.resize(got);
    }
    CloseHandle(f);
    return bytes;
}

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    DWORD put = 0;
    bool ok = bytes.empty() || (WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) &&
                                put == bytes.size());
    CloseHandle(f);
    return ok;
}

std::string ReadText(const std::string& path) {
    std::vector<uint8_t> b = ReadBytes(path);
    return std::string(b.begin(), b.end());
}

bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

ProcessResult Run(const std::string& commandLine, const std::string& workDir, DWORD timeoutMs, bool captureOutput) {
    ProcessResult result;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (captureOutput) {
        SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
        if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) return result;
        SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = writeEnd;
        si.hStdError = writeEnd;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    }
    PROCESS_INFORMATION pi = {};
    std::string cmd = commandLine;
    BOOL ok = CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, captureOutput, 0, nullptr,
                             workDir.empty() ? nullptr : workDir.c_str(), &si, &pi);
    if (writeEnd) CloseHandle(writeEnd);
    if (!ok) {
        if (readEnd) CloseHandle(readEnd);
        return result;
    }
    if (captureOutput) {
        char buf[4096];
        DWORD got = 0;
        while (ReadFile(readEnd, buf, sizeof buf, &got, nullptr) && got) result.output.append(buf, got);
        CloseHandle(readEnd);
    }
    if (WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        result.finished = true;
        GetExitCodeProcess(pi.hProcess, &result.exitCode);
    } else {
        TerminateProcess(pi.hProcess, 1);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return result;
}

bool Process::Start(const std::string& commandLine, const std::string& workDir) {
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    std::string cmd = commandLine;
    return CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          workDir.empty() ? nullptr : workDir.c_str(), &si, &m_pi) != 0;
}

bool FileHolder::Start(const char* mode, const std::string& path) {
    static int counter = 0;
    const std::string name =
        "quorvin-hold-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
    m_ready = CreateEventA(nullptr, TRUE, FALSE, (name + ".ready").c_str());
    m_release = CreateEventA(nullptr, TRUE, FALSE, (name + ".release").c_str());
    if (!m_process.Start("\"" + BinDir() + "\\file_holder.exe\" " + mode + " \"" + path + "\" " + name))
        return false;
    return WaitForSingleObject(m_ready, 30000) == WAIT_OBJECT_0;
}

void FileHolder::Release() {
    if (!m_release) return;
    SetEvent(m_release);
    m_process.Wait(30000);
    CloseHandle(m_release);
    CloseHandle(m_ready);
    m_release = m_ready = nullptr;
}

Process::~Process() {
    if (m_pi.hProcess) {
        if (WaitForSingleObject(m_pi.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(m_pi.hProcess, 1);
        CloseHandle(m_pi.hThread);
        CloseHandle(m_pi.hProcess);
    }
}

DWORD Process::Wait(DWORD timeoutMs) {
    if (!m_pi.hProcess || WaitForSingleObject(m_pi.hProcess, timeoutMs) != WAIT_OBJECT_0) return 0xFFFFFFFF;
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(m_pi.hProcess, &code);
    return code;
}

void Process::Kill() {
    if (m_pi.hProcess) {
        TerminateProcess(m_pi.hProcess, 1);
        WaitForSingleObject(m_pi.hProcess, 5000);
    }
}

bool RestartMachine() {
    ProcessResult r = Run("wineboot.exe -r", "", 120000);
    return r.finished;
}

void SetWineVersionFor(const std::string& exeName, const std::string& version) {
    std::string key = "Software\\Wine\\AppDefaults\\" + exeName;
    HKEY k;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k, nullptr) ==
        ERROR_SUCCESS) {
        RegSetValueExA(k, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                       static_cast<DWORD>(version.size() + 1));
        RegCloseKey(k);
    }
}

std::string ChildCommandLine(const std::string& test, const std::string& program) {
    const size_t dot = test.find('.');
    const std::string filter = test.substr(0, dot + 1) + "DISABLED_" + test.substr(dot + 1);
    return "\"" + (program.empty() ? SelfPath() : program) +
           "\" --gtest_also_run_disabled_tests --gtest_filter=" + filter;
}

ProcessResult RunChildUnderVersion(const std::string& copyName, const std::string& version, const std::string& test) {
    const std::string path = SelfPath();
    std::string exe = CopyProgramAs(path.substr(path.rfind('\\') + 1), copyName);
    SetWineVersionFor(copyName, version);
    return Run(ChildCommandLine(test, exe), "", 120000, true);
}

void PrintValue(const char* key, const std::wstring& text) { std::printf("%s=%s\n", key, Ansi(text).c_str()); }

std::string OutputValue(const std::string& output, const std::string& key) {
    size_t at = output.find(key + "=");
    if (at == std::string::npos) return std::string();
    at += key.size() + 1;
    return output.substr(at, output.find_first_of("\r\n", at) - at);
}

std::string CopyProgramAs(const std::string& program, const std::string& newName) {
    std::string target = BinDir() + "\\" + newName;
    CopyFileA((BinDir() + "\\" + program).c_str(), target.c_str(), FALSE);
    return target;
}

std::vector<DWORD> SuspendCounts(DWORD processId) {
    std::vector<DWORD> counts;
    win32::UniqueFile snap(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL ok = Thread32First(snap.get(), &entry); ok; ok = Thread32Next(snap.get(), &entry)) {
        win32::UniqueKernelHandle thread(entry.th32OwnerProcessID == processId
                                             ? OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID)
                                             : nullptr);
        if (!thread) continue;
        counts.push_back(SuspendThread(thread.get()));
        ResumeThread(thread.get());
    }
    return counts;
}

}  // namespace testsupport
