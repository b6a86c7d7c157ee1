// Helpers of the tests that run under Wine: text, the registry, files,
// processes, and runs under other Windows versions (windows: ui.h).
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/log_capture.h"

namespace testsupport {

// Text in the ANSI code page and back, as the program converts it.
std::wstring Wide(const std::string& ansi);
std::string Ansi(const std::wstring& wide);
// The path with the "\\?\" prefix of the NT family's long paths.
std::wstring LongPath(const std::string& path);
// Occurrences of `what` in text, overlapping ones included.
size_t Count(const std::string& text, const std::string& what);

// True when this Wine runs on qemu's user-mode CPU emulator (tests/wine/run-test.sh
// says so): it reports a fault on a page as an unknown trap, which Wine turns
// into an illegal instruction, so tests of the fault guard cannot run there.
bool CpuEmulated();
// True when this Wine can read process memory (ReadProcessMemory, also of the
// own process). A Wine server that runs under the CPU emulator cannot attach
// to a process, so every such read fails with access denied; module lists,
// image paths, stacks and start addresses of other processes are then unknown.
bool ProcessMemoryReadable();

// The lines of a log text (CR LF ends), without their ends.
std::vector<std::string> Lines(const std::string& text);

// Registry values of the test's machine; "" names the key's default value.
// The key is created when missing.
bool SetRegValue(HKEY root, const std::string& key, const char* name, DWORD type, const void* data, DWORD size);
bool SetRegString(HKEY root, const std::string& key, const char* name, const std::string& text, DWORD type = REG_SZ);
bool SetRegDword(HKEY root, const std::string& key, const char* name, DWORD value);
// False when the key or value is missing.
bool GetRegValue(HKEY root, const std::string& key, const char* name, DWORD& type, std::vector<uint8_t>& data);
bool RegValueExists(HKEY root, const std::string& key, const char* name);
bool RegKeyExists(HKEY root, const std::string& key);
// The names of a key's subkeys (HKEY_USERS: the user keys).
std::vector<std::string> RegSubkeys(HKEY root, const std::string& key);

// Folder of the running test program (C:\quorvin\bin in the test prefix).
std::string BinDir();
// The running test program's own path.
std::string SelfPath();
// A fresh, empty folder under C:\quorvin\work.
std::string NewWorkDir(const std::string& name);
// C:\quorvin\out: files left here are kept as test artifacts.
std::string OutDir();

std::vector<uint8_t> ReadBytes(const std::string& path);
bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
std::string ReadText(const std::string& path);
bool FileExists(const std::string& path);

struct ProcessResult {
    DWORD exitCode = 0xFFFFFFFF;
    bool finished = false;
    std::string output;   // stdout and stderr, when captured
};

// Starts a program and waits for it (at most timeoutMs).
// The suspend count of every thread of a process (each left as it was).
std::vector<DWORD> SuspendCounts(DWORD processId);

ProcessResult Run(const std::string& commandLine, const std::string& workDir = "", DWORD timeoutMs = 120000,
                  bool captureOutput = false);

// A started program that the test drives (windows, second copies, ...).
class Process {
public:
    bool Start(const std::string& commandLine, const std::string& workDir = "");
    ~Process();
    DWORD Id() const { return m_pi.dwProcessId; }
    DWORD MainThreadId() const { return m_pi.dwThreadId; }
    HANDLE Handle() const { return m_pi.hProcess; }
    // Exit code after waiting, or 0xFFFFFFFF when still running.
    DWORD Wait(DWORD timeoutMs);
    void Kill();

private:
    PROCESS_INFORMATION m_pi = {};
};

// A second process (file_holder.exe) that holds a file open until Release.
class FileHolder {
public:
    // Without any sharing (the file is created when missing).
    bool Lock(const std::string& path) { return Start("lock", path); }
    // For reading, sharing reading only, as the loader holds a running
    // program: the file can be read and copied, not replaced.
    bool Hold(const std::string& path) { return Start("read", path); }
    void Release();
    ~FileHolder() { Release(); }

private:
    bool Start(const char* mode, const std::string& path);
    HANDLE m_ready = nullptr;
    HANDLE m_release = nullptr;
    Process m_process;
};

// Restarts the test's Wine machine the way a reboot would: pending file
// moves and deletions and WININIT.INI are carried out (wineboot -r).
bool RestartMachine();

// Makes Wine report `version` (win98, winme, nt40, win2k, winxp, win2003, win7)
// to programs named exeName.
void SetWineVersionFor(const std::string& exeName, const std::string& version);
// Copies a program of the bin folder under another name (for per-name versions).
std::string CopyProgramAs(const std::string& program, const std::string& newName);

// Tests that run only as a child of their own test program: started by a
// test of the same program under another Windows version (RunChildUnderVersion)
// or as a second process (ChildCommandLine). A plain run leaves them out.
#define CHILD_TEST(suite, name) TEST(suite, DISABLED_##name)
#define CHILD_TEST_F(fixture, name) TEST_F(fixture, DISABLED_##name)
// The command line that runs this test program (or a copy of it named
// program) with only the child tests that "Suite.Name" matches (Name may be a
// gtest pattern such as "*").
std::string ChildCommandLine(const std::string& test, const std::string& program = "");
// Runs the child tests "Suite.Name" in a copy of this program named copyName,
// to which Wine reports `version`; the output is captured.
ProcessResult RunChildUnderVersion(const std::string& copyName, const std::string& version, const std::string& test);
// Prints "key=text" on a line of its own, the text in the ANSI code page, for
// the parent of such a run to read back with OutputValue.
void PrintValue(const char* key, const std::wstring& text);
// The text after the first "key=" in output up to its line end; empty when missing.
std::string OutputValue(const std::string& output, const std::string& key);

}  // namespace testsupport
