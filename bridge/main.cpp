// Morvellane pre-launch bridge: the process entry.
#include "bridge.h"

// The start-up code's arguments are ignored: the run reads its own command line.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    return static_cast<int>(RunBridge());
}
