// Output pieces of the command line: times, JSON text and the progress line
// on the terminal.
#pragma once

#include <ctime>
#include <string>

#include "common/Helpers.h"  // FormatSize, NaturalLess

// "2024-05-01T10:00:00Z".
std::string FormatUtcTime(const struct timespec& ts);
// A name from a record fit for one line of tab-separated output: control
// characters and bidirectional overrides become '?'.
std::string Printable(std::string str);
// The text as a JSON string, quotes included. Invalid UTF-8 becomes U+FFFD;
// controls and bidirectional overrides are escaped.
std::string JsonString(const std::string& str);

// One line on standard error that redraws itself, at most ten times a second,
// and only when standard error is a terminal.
class CProgressLine {
public:
    CProgressLine();
    bool Enabled() const { return m_bEnabled; }
    // Draws the text unless the last drawing is less than 0.1 s old (bForce
    // draws anyway).
    void Show(const std::string& strText, bool bForce = false);
    // Removes the line, so that what follows starts on a clean line.
    void Clear();
    // Milliseconds since the line was made.
    long long Elapsed() const;

private:
    bool m_bEnabled;
    bool m_bShown;
    long long m_llStart;
    long long m_llLast;
};
