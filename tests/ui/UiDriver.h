// Driving the application as a user does in offscreen tests: controls by their
// accessible names, clicks, modal dialogs, pictures of what is shown.
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
#include <memory>

#include "ui/DRUI.h"

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

// The main window on page 1; with a maker, it scans with the engines that makes.
inline std::unique_ptr<DRUI> ShowWindow(DRUI::EngineMaker maker = {}) {
    auto pWindow = std::make_unique<DRUI>();
    pWindow->Init();
    pWindow->SetPictureDecoder(TW_TARNWICK_PATH);
    if (maker) pWindow->SetEngineMaker(std::move(maker));
    pWindow->show();
    (void)QTest::qWaitForWindowExposed(pWindow.get());
    return pWindow;
}

// Saves the window with the dialogs over it (pDialog on top) as ui-shots/NAME.png.
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

// Calls fn with the modal dialog of type T once shown (its click has not returned).
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

// Answers the next question box with the button named, keeping its picture.
template <class Box>
void Answer(const QString& strButton, QWidget* pWindow = nullptr, const QString& strShot = {}) {
    WhenModal<Box>([=](Box* pBox) {
        if (pWindow && !strShot.isEmpty()) Shot(pWindow, strShot, pBox);
        if (QAbstractButton* pButton = Named<QAbstractButton>(pBox, strButton)) Click(pButton);
    });
}

}  // namespace twui
