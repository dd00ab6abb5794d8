#include "support/FaultyMedium.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

#include "support/ScanLogSandbox.h"

CFaultyMedium::CFaultyMedium(const std::string& strImage, const std::string& strBad,
                             uint64_t u64DieAfter, uint64_t u64StallAt) {
    const std::string strMount = m_dir.Path() + "/mnt";
    struct stat stImage, stMount;
    if (stat(strImage.c_str(), &stImage) != 0 || mkdir(strMount.c_str(), 0755) != 0 ||
        stat(strMount.c_str(), &stMount) != 0) {
        m_strWhy = "cannot prepare " + strMount + ": " + std::strerror(errno);
        return;
    }
    std::vector<std::string> args = {TW_FAULTYFS_PATH, strImage, strMount, "--log",
                                     m_dir.Path() + "/reads"};
    if (!strBad.empty()) args.insert(args.end(), {"--bad", strBad});
    if (u64DieAfter != UINT64_MAX)
        args.insert(args.end(), {"--die-after", std::to_string(u64DieAfter)});
    if (u64StallAt != UINT64_MAX)
        args.insert(args.end(), {"--stall-at", std::to_string(u64StallAt)});
    m_pid = fork();
    if (m_pid == 0) {
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(&arg[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    // Mounted once the file shows, on another device than the folder.
    struct stat st;
    for (int i = 0; i < 500 && !m_bMounted; ++i) {
        if (stat(Path().c_str(), &st) == 0 && st.st_dev != stMount.st_dev &&
            st.st_size == stImage.st_size) {
            m_bMounted = true;
            break;
        }
        if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            m_pid = -1;
            m_strWhy = "the FUSE server ended at once (is /dev/fuse there?)";
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!m_bMounted) m_strWhy = "the FUSE mount did not show within 10 s";
}

void CFaultyMedium::Kill() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
}

CFaultyMedium::~CFaultyMedium() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);  // the server unmounts and ends
        for (int i = 0; i < 250 && waitpid(m_pid, nullptr, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Kill();
    }
    // A server that died leaves its mount behind; the scratch folder's removal
    // must not walk into it.
    umount2((m_dir.Path() + "/mnt").c_str(), MNT_DETACH);
}

std::string CFaultyMedium::ReadLog() const {
    return ReadFileBytes(m_dir.Path() + "/reads");
}

bool CFaultyMedium::WaitForReadAt(uint64_t u64Offset) const {
    for (int i = 0; i < 3000; ++i) {
        std::istringstream in(ReadLog());
        unsigned long long u64At = 0, u64Size = 0;
        while (in >> u64At >> u64Size)
            if (u64At <= u64Offset && u64Offset < u64At + u64Size) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}
