// The automatic updater's entry in the coverage build only: the same run,
// started through the C runtime so that its exit writes the counters.
#include "auto_updater.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    return static_cast<int>(RunAutoUpdater());
}
