// Starts a program with one privilege taken out of its token, as a policy
// that withholds it from administrators would leave it.
// drop_privilege NAME COMMAND LINE...: removes NAME from the own token (the
// program inherits a copy), runs the program and returns its exit code: 2 for
// bad arguments, 3 when it cannot be started, 4 when the token still holds
// NAME (the program is not started then). Nothing is printed: services the
// program has the system start would keep a captured output open.
#include <windows.h>

#include <string>
#include <vector>

namespace {

bool Holds(HANDLE token, const LUID& luid) {
    DWORD size = 0;
    GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    std::vector<BYTE> buffer(size ? size : 1);
    if (!GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) return true;
    const auto* held = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < held->PrivilegeCount; ++i)
        if (held->Privileges[i].Luid.LowPart == luid.LowPart && held->Privileges[i].Luid.HighPart == luid.HighPart)
            return true;
    return false;
}

// The command line after its first two words, as given.
std::string ProgramCommandLine() {
    const char* p = GetCommandLineA();
    for (int word = 0; word < 2; ++word) {
        while (*p == ' ') ++p;
        for (bool quoted = false; *p && (quoted || *p != ' '); ++p)
            if (*p == '"') quoted = !quoted;
    }
    while (*p == ' ') ++p;
    return p;
}

}  // namespace

int main(int argc, char** argv) {
    LUID luid;
    HANDLE token = nullptr;
    if (argc < 3 || !LookupPrivilegeValueA(nullptr, argv[1], &luid) ||
        !OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return 2;
    TOKEN_PRIVILEGES remove = {1, {{luid, SE_PRIVILEGE_REMOVED}}};
    AdjustTokenPrivileges(token, FALSE, &remove, 0, nullptr, nullptr);
    if (Holds(token, luid)) return 4;

    std::string command = ProgramCommandLine();
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return 3;
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 3;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return static_cast<int>(code);
}
