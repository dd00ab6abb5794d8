#include "ui/PictureView.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

QSize FitPicture(QSize picture, QSize pane, double dDpr) {
    if (picture.isEmpty() || pane.isEmpty() || dDpr <= 0) return QSize();
    // One picture pixel per device pixel at most.
    const double dScale = std::min({1.0 / dDpr, pane.width() / static_cast<double>(picture.width()),
                                    pane.height() / static_cast<double>(picture.height())});
    return QSize(std::max(1, static_cast<int>(std::floor(picture.width() * dScale + 1e-6))),
                 std::max(1, static_cast<int>(std::floor(picture.height() * dScale + 1e-6))));
}

CPictureView::CPictureView(QWidget* pParent) : QFrame(pParent) {
    setFrameShape(QFrame::StyledPanel);
    setMinimumSize(32, 32);
}

void CPictureView::SetPicture(const QImage& image) {
    m_image = image;
    m_scaled = QPixmap();
    update();
}

QRect CPictureView::PictureRect() const {
    QRect shown(QPoint(), FitPicture(m_image.size(), contentsRect().size(), devicePixelRatioF()));
    shown.moveCenter(contentsRect().center());
    return shown;
}

void CPictureView::paintEvent(QPaintEvent* pEvent) {
    QPainter painter(this);
    painter.fillRect(contentsRect(), Qt::white);
    painter.end();
    QFrame::paintEvent(pEvent);
    if (m_image.isNull()) return;
    const QRect shown = PictureRect();
    if (shown.isEmpty()) return;
    // Scaled once per size, smoothly, to the device pixels it covers.
    const double dDpr = devicePixelRatioF();
    const QSize device(
        std::min(m_image.width(), static_cast<int>(std::lround(shown.width() * dDpr))),
        std::min(m_image.height(), static_cast<int>(std::lround(shown.height() * dDpr))));
    if (m_scaled.size() != device) {
        m_scaled = QPixmap::fromImage(
            device == m_image.size()
                ? m_image
                : m_image.scaled(device, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
        m_scaled.setDevicePixelRatio(dDpr);
    }
    painter.begin(this);
    painter.drawPixmap(shown, m_scaled);
}
