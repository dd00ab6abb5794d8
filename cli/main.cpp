// tarnwick-cli: the recovery engine from a terminal. One command word, then
// that command's arguments and options.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "CliArgs.h"
#include "TarnwickVersion.h"

namespace {

const std::vector<const CliCommand*>& Commands() {
    static const std::vector<const CliCommand*> vec = {&g_cmdDisks, &g_cmdScan};
    return vec;
}

bool IsHelpWord(const char* sz) {
    return std::strcmp(sz, "--help") == 0 || std::strcmp(sz, "-h") == 0 ||
           std::strcmp(sz, "help") == 0;
}

void PrintCommandHelp(FILE* out, const CliCommand& cmd) {
    std::fprintf(out, "usage: tarnwick-cli %s%s%s [options]\n\n%s\n\noptions:\n", cmd.szName,
                 *cmd.szArguments ? " " : "", cmd.szArguments, cmd.szDescription);
    for (const CliOption& option : cmd.vecOptions) {
        std::string strLeft = std::string("--") + option.szName;
        if (option.szValueName) strLeft += std::string(" ") + option.szValueName;
        std::fprintf(out, "  %-22s %s\n", strLeft.c_str(), option.szHelp);
    }
    std::fprintf(out, "  %-22s %s\n", "--help", "show this help");
}

void PrintHelp(FILE* out) {
    std::fprintf(out,
                 "usage: tarnwick-cli COMMAND [arguments] [options]\n"
                 "       tarnwick-cli COMMAND --help\n"
                 "       tarnwick-cli --version\n\n"
                 "Finds deleted and lost files on disks and images. Disks and images are\n"
                 "only ever read, never written.\n\ncommands:\n");
    for (const CliCommand* pCmd : Commands()) {
        std::fprintf(out, "  %-10s %s\n", pCmd->szName, pCmd->szSummary);
    }
    std::fprintf(out,
                 "\n"
                 "environment:\n"
                 "  TARNWICK_DISK_DIR   read disk N from the file $TARNWICK_DISK_DIR/diskN\n"
                 "                      instead of the machine's disks\n"
                 "  TARNWICK_SUPPORT_DIR keep scan results in $TARNWICK_SUPPORT_DIR/ScanLog/\n"
                 "                      (default /var/lib/tarnwick/ for root, else\n"
                 "                      $XDG_DATA_HOME/tarnwick/ or ~/.local/share/tarnwick/)\n"
                 "  SUDO_UID, SUDO_GID, PKEXEC_UID  the user recovered files are written as\n\n"
                 "exit status: 0 success, 1 failure, 2 usage error (scan: also 3, and 130,\n"
                 "143 or 129 when interrupted by SIGINT, SIGTERM or SIGHUP)\n");
    for (const CliCommand* pCmd : Commands()) {
        std::fprintf(out, "\n");
        PrintCommandHelp(out, *pCmd);
    }
}

int RunCommand(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "tarnwick-cli: no command given; try 'tarnwick-cli --help'\n");
        return CLI_EXIT_USAGE;
    }
    if (IsHelpWord(argv[1])) {
        if (argc == 2) {
            PrintHelp(stdout);
            return CLI_EXIT_OK;
        }
        // "help scan": that command's help alone.
        for (const CliCommand* pCmd : Commands()) {
            if (argc == 3 && std::strcmp(argv[2], pCmd->szName) == 0) {
                PrintCommandHelp(stdout, *pCmd);
                return CLI_EXIT_OK;
            }
        }
        std::fprintf(stderr, "tarnwick-cli: no help on '%s'; try 'tarnwick-cli --help'\n", argv[2]);
        return CLI_EXIT_USAGE;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("tarnwick-cli %s\n", TARNWICK_VERSION);
        return CLI_EXIT_OK;
    }
    for (const CliCommand* pCmd : Commands()) {
        if (std::strcmp(argv[1], pCmd->szName) != 0) continue;
        for (int i = 2; i < argc; ++i) {
            if (IsHelpWord(argv[i]) && std::strcmp(argv[i], "help") != 0) {
                PrintCommandHelp(stdout, *pCmd);
                return CLI_EXIT_OK;
            }
        }
        CCliArgs args;
        std::string strError;
        if (!args.Parse(argc, argv, 2, pCmd->vecOptions, strError)) {
            std::fprintf(stderr, "tarnwick-cli %s: %s; try 'tarnwick-cli %s --help'\n",
                         pCmd->szName, strError.c_str(), pCmd->szName);
            return CLI_EXIT_USAGE;
        }
        return pCmd->pfnRun(args);
    }
    std::fprintf(stderr, "tarnwick-cli: unknown command '%s'; try 'tarnwick-cli --help'\n",
                 argv[1]);
    return CLI_EXIT_USAGE;
}

}  // namespace

int main(int argc, char** argv) {
    // A reader that goes away (| head) or a file-size limit must not kill a
    // recovery half-way: the write fails, the command goes on and tidies up.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    int nStatus = RunCommand(argc, argv);
    if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && nStatus == CLI_EXIT_OK)
        nStatus = CLI_EXIT_FAILURE;
    return nStatus;
}
