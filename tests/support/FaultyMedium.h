// An image presented as a failing medium, through the FUSE harness
// (harness/faulty_fuse.cpp): Path() reads like the image, except that the
// chosen sectors fail with EIO and, once u64DieAfter bytes were served, the
// medium is gone (every read fails with ENOTCONN). The mount goes when the object does,
// also when the test fails.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "support/ScratchDir.h"

class CFaultyMedium {
public:
    // strBad: "FIRST[-LAST],..." in 512-byte sectors ("" for none). The first
    // read that covers sector u64StallAt waits 3 s.
    CFaultyMedium(const std::string& strImage, const std::string& strBad,
                  uint64_t u64DieAfter = UINT64_MAX, uint64_t u64StallAt = UINT64_MAX);
    ~CFaultyMedium();
    CFaultyMedium(const CFaultyMedium&) = delete;
    CFaultyMedium& operator=(const CFaultyMedium&) = delete;

    // Whether it is mounted, and why not.
    bool Ok() const { return m_bMounted; }
    const std::string& Why() const { return m_strWhy; }
    // The failing medium.
    std::string Path() const { return m_dir.Path() + "/mnt/disk.img"; }
    // Every read asked of the medium so far: "OFFSET SIZE" lines.
    std::string ReadLog() const;
    // Waits (at most 60 s) until a read covered that byte offset; false if none did.
    bool WaitForReadAt(uint64_t u64Offset) const;
    // The server dies now, as if the medium were pulled out.
    void Kill();

private:
    CScratchDir m_dir;
    pid_t m_pid = -1;
    bool m_bMounted = false;
    std::string m_strWhy;
};
