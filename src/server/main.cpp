#include "server/server.h"

// The client talks to the server only through the shared block and its
// events; the one optional argument names the client process to follow.
int main(int argc, char** argv) {
    return quillon::server::serverMain(argc, argv);
}
