// Running the command-line tools that tests use to make and inspect images
// (sfdisk, sgdisk, mtools, the tarnwick-cli binary, ...).
#pragma once

#include <string>

namespace twtest {

// Full path of a tool found in PATH, /usr/sbin or /sbin; "" when absent.
std::string FindTool(const std::string& strName);
// The text in single quotes for /bin/sh.
std::string ShellQuote(const std::string& str);
// Runs the command line with /bin/sh; standard output goes to *pOut (when not
// null), standard error is left alone. The exit status, or -1 when the
// command could not run or died by a signal.
int RunCommand(const std::string& strCommand, std::string* pOut = nullptr);

}  // namespace twtest
