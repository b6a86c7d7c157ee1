// What the network stand-ins share: the record of the calls that reached
// them (one line each: the function and its arguments) and the switch that
// makes a function raise an exception the way a system stub does. The
// exports are named in each library's .def file.
#pragma once
#include <windows.h>

#include <set>
#include <string>

namespace standin {

inline std::string g_calls;
inline std::set<std::string> g_raising;
inline std::string Narrow(const wchar_t* text) {
    char out[512] = {};
    if (text) WideCharToMultiByte(CP_ACP, 0, text, -1, out, sizeof out - 1, nullptr, nullptr);
    return out;
}

// The exception code of an unimplemented system function.
constexpr DWORD kStubException = 0x80000100;

inline void Enter(const char* function, const std::string& arguments) {
    g_calls += std::string(function) + " " + arguments + "\n";
    if (g_raising.count(function)) RaiseException(kStubException, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

void ResetState();

}  // namespace standin

extern "C" {
// Forgets every call, share, member and account, and every raising switch.
void WINAPI StandInReset() {
    standin::g_calls.clear();
    standin::g_raising.clear();
    standin::ResetState();
}
// Makes `function` raise from now on.
void WINAPI StandInRaise(const char* function) { standin::g_raising.insert(function); }
const char* WINAPI StandInCalls() { return standin::g_calls.c_str(); }
}
