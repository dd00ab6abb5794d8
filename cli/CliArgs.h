// The command line's shared pieces: options, commands and their parser.
#pragma once

#include <map>
#include <string>
#include <vector>

// One option of a command: "--name" or "--name VALUE".
struct CliOption {
    const char* szName;       // without the leading "--"
    const char* szValueName;  // null for a flag
    const char* szHelp;
};

// The parsed arguments after the command word.
class CCliArgs {
public:
    // Parses argv[nFirst..argc) against the options given. Every "--" word
    // must be one of them; other words are positional. False with a message
    // on an unknown option or a missing value.
    bool Parse(int argc, char** argv, int nFirst, const std::vector<CliOption>& vecOptions,
               std::string& strError);

    bool Has(const std::string& strName) const { return m_options.count(strName) != 0; }
    std::string Get(const std::string& strName, const std::string& strDefault = "") const;
    const std::vector<std::string>& Positional() const { return m_positional; }

private:
    std::map<std::string, std::string> m_options;
    std::vector<std::string> m_positional;
};

// A command: its word, what it does, its positional arguments, its options and
// the function that runs it. The function returns the exit status.
struct CliCommand {
    const char* szName;
    const char* szSummary;
    const char* szArguments;  // e.g. "" or "IMAGE"
    const char* szDescription;
    std::vector<CliOption> vecOptions;
    int (*pfnRun)(const CCliArgs& args);
};

// Exit statuses, all of them; an interrupted command exits with 128 + the
// signal (cli/Signals.h: 130 SIGINT, 143 SIGTERM, 129 SIGHUP).
enum {
    CLI_EXIT_OK = 0,
    // Some files failed or came back in part, or some sectors could not be read.
    CLI_EXIT_FAILURE = 1,
    CLI_EXIT_USAGE = 2,
    // The source cannot be opened, holds nothing to scan, or went away mid-scan.
    CLI_EXIT_SOURCE = 3,
};

// The commands, one per file (Cmd*.cpp).
extern const CliCommand g_cmdDisks;
extern const CliCommand g_cmdScan;
