#include "ui/PreviewDecoder.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QProcess>

#include "common/Platform.h"

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
    // The bytes are read with the rights the file needs; the decoding, where
    // crafted data may take control, runs without root, for good.
    QFile in(QString::fromLocal8Bit(szFile));
    if (!in.open(QIODevice::ReadOnly)) return 1;
    QByteArray data = in.readAll();
    in.close();
    if (!tw::DropRootForGood()) return 1;
    QBuffer buffer(&data);
    QImageReader reader(&buffer);
    QImage image = reader.read();
    if (image.isNull()) return 1;
    if (image.width() > kPreviewWidth)
        image = image.scaled(kPreviewWidth, kPreviewHeight, Qt::KeepAspectRatio,
                             Qt::FastTransformation);
    QFile out;
    if (!out.open(stdout, QIODevice::WriteOnly)) return 1;
    return image.save(&out, "PNG") ? 0 : 1;
}
