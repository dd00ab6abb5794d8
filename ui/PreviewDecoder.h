// Pictures found on a medium are decoded in a helper process (this program
// started with --decode-picture), so a decoder that faults on crafted data ends
// the helper, never the application.
#pragma once

#include <QImage>
#include <QString>

// The preview area: a picture narrower than 701 pixels is shown as it is,
// a wider one scaled to fit 700 x 200 (aspect kept, fast transformation).
constexpr int kPreviewWidth = 700;
constexpr int kPreviewHeight = 200;

// Decodes the picture file with the helper program strProgram; false when it
// cannot be decoded, the helper fails or takes longer than 20 seconds.
bool DecodePictureGuarded(const QString& strProgram, const QString& strFile, QImage& image);

// The helper's side: reads szFile, gives up root for good (to the requesting
// user, else nobody), decodes it, fits it to the preview area and writes it
// to standard output as PNG. Exit status 0, or 1 when it cannot be decoded.
int RunPictureDecoder(const char* szFile);
