// What the program answers on the terminal before any window exists:
// --help, --version, and the one line said when there is no display.
#pragma once

// The version the window and --version show.
extern const char kTarnwickVersion[];

// Handles "--help"/"-h" and "--version" (printed to standard output), and
// refuses any argument but "start" with the usage on standard error (status 2).
// Returns true, with the exit status in nExit, when the program should end here.
bool HandleInformationArguments(int argc, char** argv, int& nExit);

// On Linux: whether a window can be shown at all (QT_QPA_PLATFORM, DISPLAY or
// WAYLAND_DISPLAY set). Without one, says so on standard error in one line.
bool CheckDisplay();
