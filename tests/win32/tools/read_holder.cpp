// Holds a file open the way the loader holds a running program: others may
// read it, but nobody may write, rename over or delete it.
// read_holder PATH NAME: opens PATH, sets the event NAME.held, waits for
// NAME.release (at most 10 minutes), closes and exits.
#include <windows.h>

#include <string>

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    HANDLE file = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    std::string name = argv[2];
    HANDLE held = CreateEventA(nullptr, TRUE, FALSE, (name + ".held").c_str());
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, (name + ".release").c_str());
    SetEvent(held);
    WaitForSingleObject(release, 600000);
    CloseHandle(file);
    CloseHandle(held);
    CloseHandle(release);
    return 0;
}
