#include "server/server.h"

// No arguments are taken: the client talks to the server only through the
// shared block and its events.
int main() {
    return quillon::server::serverMain();
}
