// Pausing the maker's real-time file protection around the file walk.
#pragma once
#include <windows.h>

#include <cstdint>

// The walk calls, in this order: LoadProtectionLibrary,
// PauseRealtimeProtection, (the walk), ResumeRealtimeProtection,
// UnloadProtectionLibrary. No result needs to be looked at: without the
// protection nothing changes. The destructor unloads what is still loaded.
class RealtimeProtectionControl {
public:
    RealtimeProtectionControl() = default;
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

    bool LibraryInUse() const { return m_library != nullptr; }

private:
    using Entry = int(WINAPI*)();
    uint32_t Request(bool pause);

    HMODULE m_library = nullptr;
    Entry m_pause = nullptr;
    Entry m_resume = nullptr;
};

// NT family: one DeviceRequest with `command` to the device "\\.\<name>";
// protection::kStatusOk or the failure code.
uint32_t SendDeviceRequest(const char* deviceName, uint32_t command);
