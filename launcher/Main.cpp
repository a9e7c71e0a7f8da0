#include <windows.h>

// The window and the update worker come next; until then the exe only proves the static cross build.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return 0;
}
