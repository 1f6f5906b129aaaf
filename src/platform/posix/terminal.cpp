#include <unistd.h>

#include "platform/platform.h"

namespace quillon::platform {

bool stdoutIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

} // namespace quillon::platform
