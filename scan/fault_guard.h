// Memory faults while reading or writing a mapped file (a file that shrinks
// under its mapping, a network file that goes away) end the work on the image
// instead of the program.
#pragma once

// Calls fn(arg); a memory fault (access violation, in-page error) inside it
// abandons the call and returns false. Destructors of objects that fn left
// alive at the fault do not run, so fn should hold nothing that matters.
// A C++ exception from fn passes through.
bool CallCatchingFaults(void (*fn)(void*), void* arg);
