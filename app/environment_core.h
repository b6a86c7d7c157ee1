// Decisions of the environment checks that need no system call. Portable.
#pragma once
#include <cstdint>

#include "run/run_state.h"

constexpr uint32_t kPlatformWin9x = 1;   // VER_PLATFORM_WIN32_WINDOWS
constexpr uint32_t kPlatformNt = 2;      // VER_PLATFORM_WIN32_NT

// Sets the platform flags of `flags` for a reported version. Flags are only
// switched on. 1 when the platform is one the tool knows, else 0.
int ClassifyPlatform(uint32_t platformId, uint32_t major, uint32_t minor, RunFlags& flags);

// The boot-mode rule: current mode 0 normal, 1 safe, 2 safe with network.
int BootModeAllowed(uint32_t requiredMode, uint32_t currentMode);

// True when a "SystemRestore" value read from the registry means it is on.
inline bool SystemRestoreOn(const char* value) { return value && value[0] == 'Y'; }

extern const char kSystemRestoreEnabledWarning[];
extern const char kSystemRestoreDisabledNotice[];
extern const char kRebootQuestion[];
