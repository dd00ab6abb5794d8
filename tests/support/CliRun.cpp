#include "support/CliRun.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "support/RunTool.h"
#include "support/ScanLogSandbox.h"

std::vector<std::string> Split(const std::string& str, char cSeparator) {
    std::vector<std::string> fields;
    std::stringstream ss(str);
    std::string strField;
    while (std::getline(ss, strField, cSeparator)) fields.push_back(strField);
    return fields;
}

CliRun RunCli(const std::vector<std::string>& args, const std::string& strEnv) {
    CScratchDir io;
    // A source that made the command wait for ever must fail, not hang the suite.
    // A suite run under sudo acts for nobody but the user a case names.
    std::string strCmd = "env -u SUDO_UID -u SUDO_GID -u PKEXEC_UID " + strEnv + " timeout 300 " +
                         twtest::ShellQuote(TW_CLI_PATH);
    for (const std::string& arg : args) strCmd += " " + twtest::ShellQuote(arg);
    // The fast mode unless a case names one (the deep scan has tests of its own).
    if (args.size() > 1 && args[0] == "scan" &&
        std::find(args.begin(), args.end(), "--mode") == args.end())
        strCmd += " --mode fast";
    strCmd += " >" + twtest::ShellQuote(io.File("out")) + " 2>" +
              twtest::ShellQuote(io.File("err")) + " </dev/null";
    const int nRaw = std::system(strCmd.c_str());
    return {WIFEXITED(nRaw) ? WEXITSTATUS(nRaw) : -1, ReadFileBytes(io.File("out")),
            ReadFileBytes(io.File("err"))};
}

// A key's value in one line of --json output (a string unquoted, escapes undone).
std::string JsonField(const std::string& strLine, const std::string& strKey) {
    size_t nPos = strLine.find("\"" + strKey + "\":");
    if (nPos == std::string::npos) return "<none>";
    nPos += strKey.size() + 3;
    std::string strValue;
    if (strLine[nPos] != '"') return strLine.substr(nPos, strLine.find_first_of(",}", nPos) - nPos);
    for (++nPos; nPos < strLine.size() && strLine[nPos] != '"'; ++nPos) {
        if (strLine[nPos] == '\\') ++nPos;
        strValue += strLine[nPos];
    }
    return strValue;
}
