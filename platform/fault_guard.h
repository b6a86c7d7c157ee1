// Memory faults while reading or writing a mapped file (a file that shrinks
// under its mapping, a network file that goes away) end the work on the image
// instead of the program.
#pragma once
#include <type_traits>

// Calls fn(arg); a memory fault (access violation, in-page error) inside it
// abandons the call and returns false. Destructors of objects that fn left
// alive at the fault do not run, so fn should hold nothing that matters.
// A C++ exception from fn passes through.
bool CallCatchingFaults(void (*fn)(void*), void* arg);

// As CallCatchingFaults, for calls into system libraries whose functions may
// raise instead of failing (stubs): every structured exception of warning or
// error severity abandons the call. Informational ones (debug output) pass.
bool CallCatchingExceptions(void (*fn)(void*), void* arg);

// Calls f() through CallCatchingExceptions; false when it raised.
template <typename F>
bool CallGuarded(F&& f) {
    return CallCatchingExceptions(+[](void* p) { (*static_cast<std::remove_reference_t<F>*>(p))(); }, &f);
}
