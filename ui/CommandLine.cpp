#include "ui/CommandLine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "TarnwickVersion.h"

const char kTarnwickVersion[] = TARNWICK_VERSION;

namespace {

bool IsSet(const char* szName) {
    const char* szValue = std::getenv(szName);
    return szValue && *szValue;
}

}  // namespace

namespace {

const char kUsage[] =
    "Usage: tarnwick [start]\n"
    "Finds and recovers deleted and lost files on memory cards, USB sticks and disks.\n"
    "\n"
    "  tarnwick           asks for administrator rights (pkexec), then shows the window\n"
    "  tarnwick start     shows the window at once (run as root, for example with sudo)\n"
    "  tarnwick --help    this text\n"
    "  tarnwick --version the version\n"
    "\n"
    "Disks are read, never written. TARNWICK_DISK_DIR=DIR presents the image files\n"
    "DIR/disk0, DIR/disk1, ... as the disks. On a terminal, tarnwick-cli does the same\n"
    "work without a window.\n";

}  // namespace

bool HandleInformationArguments(int argc, char** argv, int& nExit) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("tarnwick %s\n", kTarnwickVersion);
            nExit = 0;
            return true;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("%s", kUsage);
            nExit = 0;
            return true;
        }
    }
    // What starts the program: nothing, "start", and the picture decoder.
    const bool bKnown =
        argc == 1 || (argc == 2 && (std::strcmp(argv[1], "start") == 0 ||
                                    std::strcmp(argv[1], "--decode-pictures") == 0));
    if (bKnown) return false;
    std::fprintf(stderr, "tarnwick: unknown argument '%s'\n%s", argv[1], kUsage);
    nExit = 2;
    return true;
}

bool CheckDisplay() {
#ifdef __APPLE__
    return true;
#else
    if (IsSet("QT_QPA_PLATFORM") || IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY")) return true;
    std::fprintf(stderr,
                 "tarnwick: no display to show the window on (DISPLAY and WAYLAND_DISPLAY are not "
                 "set); on a terminal use tarnwick-cli\n");
    return false;
#endif
}
