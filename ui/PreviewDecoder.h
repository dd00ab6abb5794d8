// Pictures found on a medium are decoded in a helper process (this program
// started with --decode-pictures) that gives up root before it reads
// anything: a decoder that faults on crafted data ends the helper, never the
// application, and code that crafted data takes over runs without rights.
// The helper stays up for the pictures that follow; the bytes go to it and
// the pixels come back over a socket, so it opens no file at all.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

#include <sys/types.h>

// The preview area: a picture narrower than 701 pixels is shown as it is,
// a wider one scaled to fit 700 x 200 (aspect kept).
constexpr int kPreviewWidth = 700;
constexpr int kPreviewHeight = 200;
// Thumbnails fit a square of this side.
constexpr int kThumbnailSide = 112;
// Larger pictures are not decoded.
constexpr qint64 kMaxPictureBytes = 64 << 20;

// How the decoded picture is fitted into the box asked for.
enum PICTURE_FIT {
    PICTURE_FIT_BOX,   // scaled down to fit the box (thumbnails)
    PICTURE_FIT_WIDE,  // scaled to fit the box only when wider than it (the preview)
};

// The application's side: one helper, started on first use and started
// again after it failed. Not for use by two threads at once.
class CPictureDecoder {
public:
    explicit CPictureDecoder(const QString& strProgram);
    ~CPictureDecoder();
    CPictureDecoder(const CPictureDecoder&) = delete;
    CPictureDecoder& operator=(const CPictureDecoder&) = delete;

    // Decodes the bytes of a picture file, turned as its EXIF orientation
    // says and fitted into box. False when they cannot be decoded, or the
    // helper fails, answers out of bounds or takes longer than 20 seconds.
    bool Decode(const QByteArray& data, QSize box, PICTURE_FIT nFit, QImage& image);
    // Starts the helper unless it runs; false when it cannot be started.
    bool Start();

private:
    void Stop();

    QByteArray m_program;
    pid_t m_nPid = -1;
    int m_fd = -1;
};

// The helper's side: gives up root for good (to the requesting user, else
// nobody), then answers requests on standard input and output until the
// application closes them. Exit status 0, or 1 on a broken request.
int RunPictureDecoder();
