// Runs one install in a process of its own, so a test can cut it short the way a power loss or a
// force quit does: `install_driver IMAGE` exits 0 when installPackage() returned true, else 1.
// The stand-in tools learn whom to signal at an injected step from CORVANE_SIM_KILL_PID.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "setup/installer.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: install_driver IMAGE\n");
        return 2;
    }
    ::setenv("CORVANE_SIM_KILL_PID", std::to_string(::getpid()).c_str(), 1);
    return corvane::Installer(argv[1]).installPackage() ? 0 : 1;
}
