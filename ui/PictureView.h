// The picture preview: the picture scaled down to fit the pane, aspect kept,
// never drawn larger than one picture pixel per screen pixel, centred, and
// fitted again whenever the pane changes size.
#pragma once

#include <QFrame>
#include <QImage>
#include <QPixmap>
#include <QRect>
#include <QSize>

// The size, in the pane's own units, at which a picture of the given pixels
// is drawn in a pane on a screen of device pixel ratio dDpr.
QSize FitPicture(QSize picture, QSize pane, double dDpr);

class CPictureView : public QFrame {
public:
    explicit CPictureView(QWidget* pParent = nullptr);

    // A null image empties the pane.
    void SetPicture(const QImage& image);
    const QImage& Picture() const { return m_image; }
    // Where the picture is drawn, inside the frame.
    QRect PictureRect() const;

protected:
    void paintEvent(QPaintEvent* pEvent) override;

private:
    QImage m_image;
    QPixmap m_scaled;  // the picture at the size drawn, in device pixels
};
