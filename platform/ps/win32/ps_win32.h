// The process library: one view of the running system whatever the Windows
// version (the views are in ps_views.h), and the operations by id.
#pragma once
#include <windows.h>

#include <cstdint>

#include "ps/win32/ps_views.h"

// A process cursor on the first process, or null. flag 0 lets the toolhelp
// back-end stand in when the native one yields nothing; non-zero allows the
// native back-end only.
ps_process* create_process_list(int flag);

// Enables or disables a privilege the token holds; 1 on success.
int set_privilege(HANDLE token, const char* name, bool enable, bool* previous);

// Termination and suspension by id (terminate access, exit code 0, waited for).
bool terminate_process_by_id(uint32_t id);
bool terminate_thread_by_id(uint32_t id);
bool suspend_thread_by_id(uint32_t id, uint32_t* previous_count);
bool resume_thread_by_id(uint32_t id, uint32_t* previous_count);
