// Pausing the maker's real-time file protection around the file walk.
#pragma once
#include <windows.h>

#include <cstdint>

#include "win32/unique_handle.h"

// The walk calls, in this order: LoadProtectionLibrary,
// PauseRealtimeProtection, (the walk), ResumeRealtimeProtection,
// UnloadProtectionLibrary. No result needs to be looked at: without the
// protection nothing changes. The destructor unloads what is still loaded.
class RealtimeProtectionControl {
public:
    // ntFamily: the platform of the run (the registry value and the driver's
    // request differ between the families).
    explicit RealtimeProtectionControl(bool ntFamily) : m_ntFamily(ntFamily) {}
    ~RealtimeProtectionControl() { UnloadProtectionLibrary(); }
    RealtimeProtectionControl(const RealtimeProtectionControl&) = delete;
    RealtimeProtectionControl& operator=(const RealtimeProtectionControl&) = delete;

    // Loads the protection's library from its registered folder; 1 when both
    // entry points were found and the library is in use, else 0.
    int LoadProtectionLibrary();
    // Through the library, else the driver: protection::kStatusOk on success,
    // else the failure code.
    uint32_t PauseRealtimeProtection();
    uint32_t ResumeRealtimeProtection();
    void UnloadProtectionLibrary();

    bool LibraryInUse() const { return m_library.valid(); }

private:
    using Entry = int(WINAPI*)();
    uint32_t Request(bool pause);

    bool m_ntFamily;
    win32::UniqueModule m_library;
    Entry m_pause = nullptr;
    Entry m_resume = nullptr;
};

// NT family: one DeviceRequest with `command` to the device "\\.\<name>";
// protection::kStatusOk or the failure code (kNotSupported off the NT family).
uint32_t SendDeviceRequest(bool ntFamily, const char* deviceName, uint32_t command);
