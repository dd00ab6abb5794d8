// The start the benchmark drivers share. Without an image argument a driver
// only names the script that runs it (bench/run.sh calls every driver bare);
// otherwise the engines write their scan files into a support folder of the
// run's own (TARNWICK_SUPPORT_DIR), removed when the driver ends.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <optional>

#include "support/ScratchDir.h"

class CBenchRun {
public:
    CBenchRun(int argc, char** argv, const char* szScript) : m_bRun(argc >= 2) {
        if (!m_bRun) {
            const char* szSlash = std::strrchr(argv[0], '/');
            std::printf("%s: run through %s\n", szSlash ? szSlash + 1 : argv[0], szScript);
            return;
        }
        m_support.emplace();
        setenv("TARNWICK_SUPPORT_DIR", m_support->Path().c_str(), 1);
    }
    // False when the driver was called without arguments and should only return 0.
    bool Run() const { return m_bRun; }

private:
    bool m_bRun;
    std::optional<CScratchDir> m_support;
};
