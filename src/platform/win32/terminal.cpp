#include <windows.h>

#include "platform/platform.h"

namespace quillon::platform {

bool stdoutIsTerminal() {
    // A console answers GetConsoleMode; pipes and files do not.
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

} // namespace quillon::platform
