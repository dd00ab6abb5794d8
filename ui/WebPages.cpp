#include "ui/WebPages.h"

#include <QCoreApplication>
#include <QFileInfo>

#ifndef TW_ABOUT_URL
#define TW_ABOUT_URL ""
#endif
#ifndef TW_SUPPORT_URL
#define TW_SUPPORT_URL ""
#endif
#ifndef TW_HELP_URL
#define TW_HELP_URL ""
#endif
#ifndef TW_SOURCE_README
#define TW_SOURCE_README ""
#endif

QString ShippedReadmePath() {
    const QString strInstalled =
        QCoreApplication::applicationDirPath() + "/../share/doc/tarnwick/README.md";
    for (const QString& strPath : {strInstalled, QString(TW_SOURCE_README)}) {
        if (!strPath.isEmpty() && QFileInfo(strPath).isFile())
            return QFileInfo(strPath).canonicalFilePath();
    }
    return QString();
}

QUrl WebPageUrl(WebPage page) {
    struct Source {
        const char* szVariable;
        const char* szBuilt;
    };
    static const Source kSources[] = {{"TARNWICK_ABOUT_URL", TW_ABOUT_URL},
                                      {"TARNWICK_SUPPORT_URL", TW_SUPPORT_URL},
                                      {"TARNWICK_HELP_URL", TW_HELP_URL}};
    const Source& source = kSources[static_cast<int>(page)];
    QString strUrl = qEnvironmentVariable(source.szVariable);
    if (strUrl.isEmpty()) strUrl = QString::fromUtf8(source.szBuilt);
    if (!strUrl.isEmpty()) return QUrl::fromUserInput(strUrl);
    const QString strReadme = ShippedReadmePath();
    return strReadme.isEmpty() ? QUrl() : QUrl::fromLocalFile(strReadme);
}
