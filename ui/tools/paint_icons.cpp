// Paints every image of the application's resource bundle "drui" and writes
// the bundle's description drui.qrc beside them. Run at build time:
//   tarnwick_paint_icons OUTDIR [HICOLORDIR]
// With HICOLORDIR it also paints the application icon in the sizes of the
// desktop's hicolor icon theme: HICOLORDIR/NxN/apps/tarnwick.png.
// All images are drawn here with QPainter: plain shapes, the project's colours.
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QTextStream>

#include <cstdio>
#include <functional>
#include <vector>

#include "engine/Categories.h"

namespace {

constexpr int kSize = 64;

// The category colours of the main window's check boxes.
const QColor kPhoto(180, 160, 200);
const QColor kMusic(250, 181, 160);
const QColor kVideo(152, 215, 245);
const QColor kDocument(255, 181, 197);
const QColor kArchive(255, 205, 75);
const QColor kOther(162, 218, 85);
const QColor kInk(60, 72, 88);
const QColor kBlue(45, 120, 215);

using Painter = std::function<void(QPainter&)>;

QPen InkPen(qreal width, const QColor& color = kInk) {
    return QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

void DrawDisk(QPainter& p, const QColor& body, const QColor& stripe) {
    p.setPen(InkPen(2.5));
    p.setBrush(body);
    p.drawRoundedRect(QRectF(6, 18, 52, 30), 6, 6);
    p.setBrush(stripe);
    p.setPen(Qt::NoPen);
    p.drawRect(QRectF(9, 36, 46, 3));
    p.setBrush(QColor(90, 210, 110));
    p.drawEllipse(QPointF(48, 27), 3, 3);
    p.setPen(InkPen(2));
    for (int x = 12; x <= 30; x += 6) p.drawLine(QPointF(x, 24), QPointF(x, 30));
}

void DrawCamera(QPainter& p, const QColor& body) {
    p.setPen(InkPen(2.5));
    p.setBrush(body);
    p.drawRoundedRect(QRectF(6, 20, 52, 34), 6, 6);
    p.drawRect(QRectF(22, 12, 20, 9));
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(32, 37), 11, 11);
    p.setBrush(kInk);
    p.drawEllipse(QPointF(32, 37), 5, 5);
    p.setBrush(QColor(255, 240, 150));
    p.drawEllipse(QPointF(49, 27), 2.5, 2.5);
}

void DrawNote(QPainter& p, const QColor& color) {
    p.setPen(InkPen(3.5, color.darker(170)));
    p.setBrush(color.darker(170));
    p.drawLine(QPointF(26, 46), QPointF(26, 12));
    p.drawLine(QPointF(48, 40), QPointF(48, 8));
    p.drawPolygon(QPolygonF({QPointF(26, 12), QPointF(48, 8), QPointF(48, 16), QPointF(26, 20)}));
    p.drawEllipse(QPointF(20, 47), 7, 5.5);
    p.drawEllipse(QPointF(42, 41), 7, 5.5);
}

void DrawFilm(QPainter& p, const QColor& color) {
    p.setPen(InkPen(2.5));
    p.setBrush(kInk);
    p.drawRoundedRect(QRectF(8, 10, 48, 44), 4, 4);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    for (int y = 14; y <= 46; y += 8) {
        p.drawRect(QRectF(11, y, 4, 4));
        p.drawRect(QRectF(49, y, 4, 4));
    }
    p.setBrush(color);
    p.drawRect(QRectF(19, 14, 26, 16));
    p.drawRect(QRectF(19, 34, 26, 16));
}

void DrawPage(QPainter& p, const QColor& fill) {
    QPainterPath page;
    page.moveTo(12, 6);
    page.lineTo(40, 6);
    page.lineTo(52, 18);
    page.lineTo(52, 58);
    page.lineTo(12, 58);
    page.closeSubpath();
    p.setPen(InkPen(2.5));
    p.setBrush(fill);
    p.drawPath(page);
    p.setBrush(fill.darker(115));
    p.drawPolygon(QPolygonF({QPointF(40, 6), QPointF(40, 18), QPointF(52, 18)}));
}

void DrawLines(QPainter& p) {
    p.setPen(InkPen(2.5));
    for (int y = 26; y <= 48; y += 7) p.drawLine(QPointF(19, y), QPointF(45, y));
}

void DrawBox(QPainter& p, const QColor& color) {
    p.setPen(InkPen(2.5));
    p.setBrush(color);
    p.drawRect(QRectF(8, 22, 48, 34));
    p.setBrush(color.lighter(115));
    p.drawPolygon(QPolygonF({QPointF(8, 22), QPointF(16, 10), QPointF(48, 10), QPointF(56, 22)}));
    p.setBrush(kInk);
    p.drawRect(QRectF(28, 22, 8, 34));
    p.drawRect(QRectF(24, 30, 16, 6));
}

void DrawCircleMark(QPainter& p, const QColor& fill, const std::function<void(QPainter&)>& mark) {
    p.setPen(InkPen(2.5, fill.darker(140)));
    p.setBrush(fill);
    p.drawEllipse(QPointF(32, 32), 26, 26);
    mark(p);
}

void DrawQuestionMark(QPainter& p, qreal scale) {
    p.save();
    p.translate(32, 32);
    p.scale(scale, scale);
    p.setPen(InkPen(6, Qt::white));
    p.setBrush(Qt::NoBrush);
    QPainterPath hook;
    hook.moveTo(-9, -8);
    hook.cubicTo(-9, -20, 10, -20, 10, -8);
    hook.cubicTo(10, 0, 0, 0, 0, 7);
    p.drawPath(hook);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(0, 16), 3.5, 3.5);
    p.restore();
}

void DrawMagnifier(QPainter& p) {
    p.setPen(InkPen(6, kBlue.darker(130)));
    p.drawLine(QPointF(40, 40), QPointF(56, 56));
    p.setPen(InkPen(4, kBlue));
    p.setBrush(QColor(220, 236, 255));
    p.drawEllipse(QPointF(27, 27), 18, 18);
}

void DrawRecover(QPainter& p) {
    DrawPage(p, Qt::white);
    p.setPen(InkPen(4.5, QColor(40, 160, 80)));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(20, 24, 24, 24), 90 * 16, -270 * 16);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(40, 160, 80));
    p.drawPolygon(QPolygonF({QPointF(32, 17), QPointF(32, 31), QPointF(24, 24)}));
}

void DrawInfo(QPainter& p) {
    DrawCircleMark(p, kBlue, [](QPainter& q) {
        q.setPen(Qt::NoPen);
        q.setBrush(Qt::white);
        q.drawEllipse(QPointF(32, 19), 4, 4);
        q.drawRoundedRect(QRectF(28, 27, 8, 22), 3, 3);
    });
}

void DrawSupport(QPainter& p) {
    p.setPen(InkPen(2.5, kBlue.darker(140)));
    p.setBrush(kBlue);
    QPainterPath bubble;
    bubble.addRoundedRect(QRectF(6, 10, 52, 36), 10, 10);
    bubble.moveTo(18, 44);
    bubble.lineTo(14, 58);
    bubble.lineTo(30, 45);
    p.drawPath(bubble.simplified());
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    for (int x = 20; x <= 44; x += 12) p.drawEllipse(QPointF(x, 28), 4, 4);
}

void DrawClose(QPainter& p) {
    p.setPen(InkPen(7));
    p.drawLine(QPointF(14, 14), QPointF(50, 50));
    p.drawLine(QPointF(50, 14), QPointF(14, 50));
}

void DrawMinimize(QPainter& p) {
    p.setPen(InkPen(7));
    p.drawLine(QPointF(14, 46), QPointF(50, 46));
}

void DrawLandscape(QPainter& p, const QRectF& r) {
    p.setPen(InkPen(2));
    p.setBrush(QColor(200, 230, 255));
    p.drawRect(r);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 200, 60));
    p.drawEllipse(QPointF(r.right() - 7, r.top() + 7), 3.5, 3.5);
    p.setBrush(QColor(70, 150, 90));
    p.drawPolygon(
        QPolygonF({QPointF(r.left() + 1, r.bottom() - 1), QPointF(r.left() + 10, r.top() + 8),
                   QPointF(r.left() + 17, r.bottom() - 6), QPointF(r.left() + 22, r.top() + 12),
                   QPointF(r.right() - 1, r.bottom() - 1)}));
}

void DrawPlay(QPainter& p, const QPointF& c) {
    p.setPen(Qt::NoPen);
    p.setBrush(kInk);
    p.drawPolygon(QPolygonF({c + QPointF(-6, -9), c + QPointF(-6, 9), c + QPointF(9, 0)}));
}

// The application: a disk under a magnifier.
void DrawAppIcon(QPainter& p) {
    DrawDisk(p, QColor(230, 236, 245), kBlue);
    p.save();
    p.translate(26, 24);
    p.scale(0.6, 0.6);
    DrawMagnifier(p);
    p.restore();
}

// A file icon: a page in the category colour with the extension written on it.
Painter FileIcon(const QColor& color, const QString& label) {
    return [color, label](QPainter& p) {
        DrawPage(p, Qt::white);
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawRect(QRectF(13.5, 34, 37, 18));
        QFont font("DejaVu Sans");
        font.setBold(true);
        font.setPixelSize(label.size() > 3 ? 10 : 13);
        p.setFont(font);
        p.setPen(kInk);
        p.drawText(QRectF(12, 34, 40, 18), Qt::AlignCenter, label);
    };
}

QColor CategoryColor(const char* szName) {
    std::string strName = std::string("x.") + szName;
    char szFolder[32] = {0};
    GetDirTypeByFileName(strName.c_str(), szFolder);
    std::string strFolder = szFolder;
    if (strFolder == "photo") return kPhoto;
    if (strFolder == "audio") return kMusic;
    if (strFolder == "video") return kVideo;
    if (strFolder == "document") return kDocument;
    if (strFolder == "archive") return kArchive;
    return kOther;
}

struct Image {
    QString strPath;  // below the output folder; the resource path is ":/" + this
    Painter paint;
};

std::vector<Image> AllImages() {
    std::vector<Image> images = {
        {"image/tarnwick.png", DrawAppIcon},
        {"image/physical_drive.png", [](QPainter& p) { DrawDisk(p, QColor(205, 210, 220), kInk); }},
        {"image/drive.png", [](QPainter& p) { DrawDisk(p, QColor(230, 236, 245), kBlue); }},
        {"image/photo.png", [](QPainter& p) { DrawCamera(p, kPhoto); }},
        {"image/music.png", [](QPainter& p) { DrawNote(p, kMusic); }},
        {"image/video.png", [](QPainter& p) { DrawFilm(p, kVideo); }},
        {"image/document.png",
         [](QPainter& p) {
             DrawPage(p, kDocument.lighter(110));
             DrawLines(p);
         }},
        {"image/archive.png", [](QPainter& p) { DrawBox(p, kArchive); }},
        {"image/other.png",
         [](QPainter& p) {
             DrawCircleMark(p, kOther, [](QPainter& q) {
                 q.setPen(Qt::NoPen);
                 q.setBrush(Qt::white);
                 for (int x = 20; x <= 44; x += 12) q.drawEllipse(QPointF(x, 32), 4.5, 4.5);
             });
         }},
        {"image/scan_files.png", DrawMagnifier},
        {"image/recover_file.png", DrawRecover},
        {"image/about.png", DrawInfo},
        {"image/support.png", DrawSupport},
        {"image/help.png",
         [](QPainter& p) {
             DrawCircleMark(p, QColor(120, 160, 200),
                            [](QPainter& q) { DrawQuestionMark(q, 1.0); });
         }},
        {"image/close.png", DrawClose},
        {"image/minimize.png", DrawMinimize},
        {"image/question.png",
         [](QPainter& p) {
             DrawCircleMark(p, kBlue, [](QPainter& q) { DrawQuestionMark(q, 1.2); });
         }},
    };

    // The per-extension icons of the result browser, labelled with the extension.
    const char* const aszLabelled[] = {
        "7z",   "accdb", "ace", "aiff", "asf", "at3", "au",  "avi",  "bmp",  "cab",
        "chm",  "divx",  "doc", "dss",  "dv",  "exe", "gif", "gzip", "html", "ico",
        "indd", "jar",   "jpg", "mid",  "mov", "mp3", "mp4", "mpeg", "ods",  "ogg",
        "one",  "pdf",   "png", "ppt",  "psd", "psp", "rar", "rmvb", "rps",  "thm",
        "tif",  "tod",   "txt", "vob",  "wma", "wmv", "wps", "xls",  "xml",  "zip"};
    for (const char* szName : aszLabelled)
        images.push_back({QString("image/FileIcon/%1.png").arg(szName),
                          FileIcon(CategoryColor(szName), QString(szName).toUpper())});
    // Camera raw formats and other families: a label of what they are.
    images.push_back({"image/FileIcon/epson.png", FileIcon(kPhoto, "RAW")});
    images.push_back({"image/FileIcon/mamiya.png", FileIcon(kPhoto, "RAW")});
    images.push_back({"image/FileIcon/minolta.png", FileIcon(kPhoto, "RAW")});
    images.push_back({"image/FileIcon/acid.png", FileIcon(kMusic, "LOOP")});
    images.push_back({"image/FileIcon/real.png", FileIcon(kVideo, "RM")});
    images.push_back({"image/FileIcon/other.png", FileIcon(kOther, "?")});
    images.push_back({"image/FileIcon/default.png", [](QPainter& p) { DrawPage(p, Qt::white); }});
    images.push_back({"image/FileIcon/office_default.png", [](QPainter& p) {
                          DrawPage(p, kDocument.lighter(112));
                          DrawLines(p);
                      }});
    for (const char* szName : {"image/FileIcon/image.png", "image/FileIcon/photo_default.png"})
        images.push_back({szName, [](QPainter& p) {
                              DrawPage(p, Qt::white);
                              DrawLandscape(p, QRectF(17, 24, 30, 26));
                          }});
    for (const char* szName : {"image/FileIcon/audio_default.png", "image/FileIcon/music.png"})
        images.push_back({szName, [](QPainter& p) {
                              DrawPage(p, kMusic.lighter(115));
                              p.save();
                              p.translate(14, 22);
                              p.scale(0.55, 0.55);
                              DrawNote(p, kMusic);
                              p.restore();
                          }});
    images.push_back({"image/FileIcon/video_default.png", [](QPainter& p) {
                          DrawPage(p, kVideo.lighter(112));
                          DrawPlay(p, QPointF(32, 38));
                      }});
    return images;
}

// One image of nSize pixels square, painted in the 64-pixel drawing space.
QImage Paint(const Painter& paint, int nSize) {
    QImage canvas(nSize, nSize, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    QPainter painter(&canvas);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.scale(qreal(nSize) / kSize, qreal(nSize) / kSize);
    paint(painter);
    return canvas;
}

bool PaintHicolor(const QString& strDir) {
    for (int nSize : {16, 22, 24, 32, 48, 64, 128, 256}) {
        QString strSub = QString("%1x%1/apps").arg(nSize);
        QString strPath = strDir + "/" + strSub + "/tarnwick.png";
        if (!QDir(strDir).mkpath(strSub) || !Paint(DrawAppIcon, nSize).save(strPath, "PNG")) {
            fprintf(stderr, "cannot write %s\n", qPrintable(strPath));
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        fprintf(stderr, "usage: %s OUTDIR [HICOLORDIR]\n", argv[0]);
        return 2;
    }
    // Text needs a font database, which needs a (headless) GUI application.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QDir out(QString::fromLocal8Bit(argv[1]));
    if (!out.mkpath("image/FileIcon")) {
        fprintf(stderr, "cannot create %s/image/FileIcon\n", argv[1]);
        return 1;
    }
    QString strQrc;
    QTextStream qrc(&strQrc);
    qrc << "<!DOCTYPE RCC><RCC version=\"1.0\">\n<qresource prefix=\"/\">\n";
    for (const Image& image : AllImages()) {
        if (!Paint(image.paint, kSize).save(out.filePath(image.strPath), "PNG")) {
            fprintf(stderr, "cannot write %s\n", qPrintable(out.filePath(image.strPath)));
            return 1;
        }
        qrc << "  <file>" << image.strPath << "</file>\n";
    }
    qrc << "</qresource>\n</RCC>\n";
    if (argc == 3 && !PaintHicolor(QString::fromLocal8Bit(argv[2]))) return 1;
    qrc.flush();
    QFile file(out.filePath("drui.qrc"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(strQrc.toUtf8()) < 0) {
        fprintf(stderr, "cannot write drui.qrc\n");
        return 1;
    }
    return 0;
}
