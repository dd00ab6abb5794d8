// The addresses of the three web pages of the main window (about, support,
// help). Each comes from the environment (TARNWICK_ABOUT_URL,
// TARNWICK_SUPPORT_URL, TARNWICK_HELP_URL), else from the build (the CMake
// options of the same names), else it is the README shipped with the program,
// which opens without a network.
#pragma once

#include <QUrl>

enum class WebPage { About, Support, Help };

QUrl WebPageUrl(WebPage page);
// The README shipped with the program: beside an installed program under
// share/doc/tarnwick, else the one of the source tree it was built from.
QString ShippedReadmePath();
