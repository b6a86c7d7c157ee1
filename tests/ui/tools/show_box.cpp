// Shows one message box, so that the UI tests can check how they read boxes of
// another process. usage: show_box.exe info|exclamation|stop|question|none CAPTION TEXT
#include <windows.h>

#include <cstring>

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    UINT style = 0;
    if (!std::strcmp(argv[1], "info")) style = MB_ICONINFORMATION;
    else if (!std::strcmp(argv[1], "exclamation")) style = MB_ICONEXCLAMATION;
    else if (!std::strcmp(argv[1], "stop")) style = MB_ICONSTOP;
    else if (!std::strcmp(argv[1], "question")) style = MB_ICONQUESTION | MB_YESNO;
    return MessageBoxA(nullptr, argv[3], argv[2], style);
}
