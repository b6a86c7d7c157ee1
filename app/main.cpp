#include <windows.h>

#include "app/TrevaskApp.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    TrevaskApp app;
    app.InitInstance(instance);
    return app.ExitInstance();
}
