#include "ui/PreviewDecoder.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QProcess>

bool DecodePictureGuarded(const QString& strProgram, const QString& strFile, QImage& image) {
    QProcess helper;
    helper.setProcessChannelMode(QProcess::SeparateChannels);
    helper.start(strProgram, {"--decode-picture", strFile});
    if (!helper.waitForFinished(20000)) {
        helper.kill();
        helper.waitForFinished();
        return false;
    }
    if (helper.exitStatus() != QProcess::NormalExit || helper.exitCode() != 0) return false;
    return image.loadFromData(helper.readAllStandardOutput(), "PNG");
}

int RunPictureDecoder(const char* szFile) {
    QImageReader reader(QString::fromLocal8Bit(szFile));
    QImage image = reader.read();
    if (image.isNull()) return 1;
    if (image.width() > kPreviewWidth)
        image = image.scaled(kPreviewWidth, kPreviewHeight, Qt::KeepAspectRatio,
                             Qt::FastTransformation);
    QFile out;
    if (!out.open(stdout, QIODevice::WriteOnly)) return 1;
    return image.save(&out, "PNG") ? 0 : 1;
}
