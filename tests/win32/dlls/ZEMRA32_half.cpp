// A broken protection library: it exports the pause entry point only, so the
// program must not use it.
#include "ZEMRA32.cpp"
