// A fresh directory under the system's temporary folder for one test, removed
// with everything in it when the object goes; and an environment variable set
// for one test.
#pragma once

#include <string>
#include <vector>

class CScratchDir {
public:
    CScratchDir();
    ~CScratchDir();
    CScratchDir(const CScratchDir&) = delete;
    CScratchDir& operator=(const CScratchDir&) = delete;

    // The directory, without a trailing '/'.
    const std::string& Path() const { return m_strPath; }
    // Path() + "/" + name.
    std::string File(const std::string& strName) const;
    // Writes the bytes to Path()/name and returns the full path.
    std::string Write(const std::string& strName, const std::vector<unsigned char>& vecData) const;

private:
    std::string m_strPath;
};

// Sets (or, with null, unsets) a variable while it lives; the old value comes back.
class ScopedEnv {
public:
    ScopedEnv(const char* szName, const char* szValue);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_strName, m_strOld;
    bool m_bHad;
};

// Bytes that differ at every offset of a sector run: byte i of sector s is
// (s * 131 + i * 7 + s / 256) & 0xFF, so a wrong offset or lost byte shows.
std::vector<unsigned char> PatternBytes(size_t nBytes);
