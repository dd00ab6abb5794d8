// tarnwick-cli run as a user runs it, from the tests: its status and what it
// printed.
#pragma once

#include <string>
#include <vector>

std::vector<std::string> Split(const std::string& str, char cSeparator);

struct CliRun {
    int nStatus = -1;
    std::string strOut, strErr;
    std::vector<std::string> Lines() const { return Split(strOut, '\n'); }
};

// Runs tarnwick-cli with the arguments (environment assignments in strEnv
// before it), standard input empty, at most 300 s. A scan without --mode runs
// in the fast mode (the deep scan has tests of its own).
CliRun RunCli(const std::vector<std::string>& args, const std::string& strEnv = "");

// A key's value in one line of --json output (a string unquoted, escapes undone).
std::string JsonField(const std::string& strLine, const std::string& strKey);
