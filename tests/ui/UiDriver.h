// Driving the application as a user does in offscreen tests: finding controls
// by their accessible names, clicking, answering modal dialogs that open while
// a click is still running, and keeping a picture of what is shown.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QPainter>
#include <QPixmap>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <functional>

namespace twui {

// The visible control of that kind and accessible name under pRoot.
template <class T>
T* Named(QWidget* pRoot, const QString& strName) {
    for (T* pWidget : pRoot->findChildren<T*>())
        if (pWidget->accessibleName() == strName && pWidget->isVisible()) return pWidget;
    return nullptr;
}

inline void Click(QWidget* pWidget, Qt::MouseButton button = Qt::LeftButton) {
    QTest::mouseClick(pWidget, button, Qt::NoModifier, pWidget->rect().center());
}

// Saves the window, with the dialogs open over it (pDialog on top), as
// NAME.png in the build tree's picture folder.
inline bool Shot(QWidget* pWindow, const QString& strName, QWidget* pDialog = nullptr) {
    QPixmap picture = pWindow->grab();
    QPainter painter(&picture);
    QWidgetList dialogs;
    for (QWidget* pTop : QApplication::topLevelWidgets())
        if (pTop != pWindow && pTop != pDialog && pTop->isVisible()) dialogs << pTop;
    if (pDialog) dialogs << pDialog;
    for (QWidget* pTop : dialogs) {
        const QPoint ptAt = pTop->frameGeometry().topLeft() - pWindow->frameGeometry().topLeft();
        painter.drawPixmap(ptAt, pTop->grab());
        painter.drawRect(QRect(ptAt, pTop->size() - QSize(1, 1)));
    }
    painter.end();
    QDir().mkpath(TW_SHOT_DIR);
    return picture.save(QString(TW_SHOT_DIR "/%1.png").arg(strName), "PNG");
}

// Calls fn with the modal dialog of type T once it is shown (the click that
// opens it does not return before it closes).
template <class T>
void WhenModal(std::function<void(T*)> fn) {
    auto* pTimer = new QTimer;
    pTimer->setInterval(10);
    QObject::connect(pTimer, &QTimer::timeout, [pTimer, fn] {
        T* pDialog = qobject_cast<T*>(QApplication::activeModalWidget());
        if (!pDialog || !pDialog->isVisible()) return;
        pTimer->stop();
        pTimer->deleteLater();
        fn(pDialog);
    });
    pTimer->start();
}

// Answers the next question box with the button named ("Yes", "No", "OK"),
// keeping its picture as NAME.png over pWindow when a name is given.
template <class Box>
void Answer(const QString& strButton, QWidget* pWindow = nullptr, const QString& strShot = {}) {
    WhenModal<Box>([=](Box* pBox) {
        if (pWindow && !strShot.isEmpty()) Shot(pWindow, strShot, pBox);
        if (QAbstractButton* pButton = Named<QAbstractButton>(pBox, strButton)) Click(pButton);
    });
}

}  // namespace twui
