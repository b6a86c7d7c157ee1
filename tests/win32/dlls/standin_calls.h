// What the network stand-ins share: the record of the calls that reached
// them (one line each: the function and its arguments) and the switch that
// makes a function raise an exception the way a system stub does. The
// exports are named in each library's .def file.
#pragma once
#include <windows.h>

#include <set>
#include <string>

namespace standin {

inline std::string& Calls() {
    static std::string calls;
    return calls;
}
inline std::set<std::string>& Raising() {
    static std::set<std::string> names;
    return names;
}
inline std::string Narrow(const wchar_t* text) {
    char out[512] = {};
    if (text) WideCharToMultiByte(CP_ACP, 0, text, -1, out, sizeof out - 1, nullptr, nullptr);
    return out;
}

// The exception code of an unimplemented system function.
constexpr DWORD kStubException = 0x80000100;

inline void Enter(const char* function, const std::string& arguments) {
    Calls() += std::string(function) + " " + arguments + "\n";
    if (Raising().count(function)) RaiseException(kStubException, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

void ResetState();

}  // namespace standin

extern "C" {
// Forgets every call, share, member and account, and every raising switch.
void WINAPI StandInReset() {
    standin::Calls().clear();
    standin::Raising().clear();
    standin::ResetState();
}
// Makes `function` raise from now on.
void WINAPI StandInRaise(const char* function) { standin::Raising().insert(function); }
const char* WINAPI StandInCalls() { return standin::Calls().c_str(); }
}
