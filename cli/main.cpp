// tarnwick-cli: the recovery engine from a terminal. One command word, then
// that command's arguments and options.
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
                 "  TARNWICK_SUPPORT_DIR keep scan results in $TARNWICK_SUPPORT_DIR/ScanLog/\n\n"
                 "exit status: 0 success, 1 failure, 2 usage error (scan: also 3 and 130)\n");
    for (const CliCommand* pCmd : Commands()) {
        std::fprintf(out, "\n");
        PrintCommandHelp(out, *pCmd);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "tarnwick-cli: no command given; try 'tarnwick-cli --help'\n");
        return CLI_EXIT_USAGE;
    }
    if (IsHelpWord(argv[1])) {
        PrintHelp(stdout);
        return CLI_EXIT_OK;
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
