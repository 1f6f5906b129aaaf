// The names the server and its clients actually open. Normally exactly the
// fixed names of shared_block.h. A development machine may run several servers
// at once (parallel test runs, several build trees); there QUILLON_IPC_SCOPE,
// when set, is appended to every name so each run has objects of its own. A
// client passes its environment on to the server it starts, so both agree.
#pragma once

#include <string>

#include "platform/platform.h"

namespace quillon::ipc {

inline constexpr const char* kScopeVariable = "QUILLON_IPC_SCOPE";

inline std::string objectName(const char* name) {
    char scope[64];
    if (!platform::getEnvironment(kScopeVariable, scope, sizeof scope) || scope[0] == '\0') {
        return name;
    }
    return std::string(name) + " " + scope;
}

} // namespace quillon::ipc
