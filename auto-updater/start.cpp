// Morvellane automatic updater: the process entry point. There is no language
// runtime: nothing runs before this, and every path ends in ExitProcess.
#include "auto_updater.h"

extern "C" void WINAPI AutoUpdaterStart()
{
    ExitProcess(RunAutoUpdater());
}
