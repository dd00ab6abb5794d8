// Narrow text (names inside records, result-set names) is GB18030, the
// platform layer's C-string codec. Qt 6 has no codec for C strings, so every
// narrow text turned into a QString goes through these two.
#pragma once

#include <QString>
#include <string>

#include "common/Helpers.h"
#include "common/Platform.h"

inline QString NarrowToQString(const char* szNarrow) {
    return QString::fromStdString(tw::NarrowToUtf8(szNarrow));
}

// A found name for display: controls and bidirectional overrides shown as '?'.
inline QString NameToQString(const char* szNarrow) {
    return NarrowToQString(ReplaceDeceptiveNarrowChars(szNarrow, '?').c_str());
}

inline std::string QStringToNarrow(const QString& str) {
    return tw::Utf8ToNarrow(str.toUtf8().constData());
}
