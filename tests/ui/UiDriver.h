// Driving the application as a user does in offscreen tests: controls by their
// accessible names, clicks, modal dialogs, pictures of what is shown.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QPainter>
#include <QPixmap>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

#include "ui/DRUI.h"
#include "ui/Dialogs.h"
#include "ui/ScanUI.h"

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

// Saves the window with the dialogs over it (pDialog on top) as
// ui-shots/NAME$TW_SHOT_SUFFIX.png (the suffix names the scaling).
inline bool Shot(QWidget* pWindow, const QString& strName, QWidget* pDialog = nullptr) {
    // Labels whose text just changed take their new size first.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
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
    return picture.save(
        QString(TW_SHOT_DIR "/%1%2.png").arg(strName, qEnvironmentVariable("TW_SHOT_SUFFIX")),
        "PNG");
}

// Every visible control under pWindow lies inside it, whole: nothing is cut
// off or out of reach. Names the first that is not.
inline QString OutOfReach(QWidget* pWindow) {
    const QRect inside = pWindow->rect();
    for (QWidget* pControl : pWindow->findChildren<QWidget*>()) {
        if (pControl->isWindow() || !pControl->isVisibleTo(pWindow) ||
            pControl->focusPolicy() == Qt::NoFocus)
            continue;
        const QRect at(pControl->mapTo(pWindow, QPoint(0, 0)), pControl->size());
        const bool bSquashed = qobject_cast<QAbstractButton*>(pControl) &&
                               at.width() < pControl->minimumSizeHint().width();
        if (!inside.contains(at) || bSquashed)
            return pControl->accessibleName() + " " + pControl->metaObject()->className();
    }
    return QString();
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

inline QTreeWidgetItem* Item(QTreeWidget* pTree, const QString& strLabel) {
    auto found = pTree->findItems(strLabel, Qt::MatchExactly | Qt::MatchRecursive);
    return found.isEmpty() ? nullptr : found.first();
}
// The item of a tree view with that label, anywhere in it (invalid: none).
inline QModelIndex Item(QTreeView* pTree, const QString& strLabel) {
    const QModelIndexList found =
        pTree->model()->match(pTree->model()->index(0, 0), Qt::DisplayRole, strLabel, 1,
                              Qt::MatchExactly | Qt::MatchRecursive);
    return found.value(0);
}
// The labels of a tree view, depth first.
inline QStringList Labels(QAbstractItemModel* pModel, const QModelIndex& parent = {}) {
    QStringList labels;
    for (int i = 0; i < pModel->rowCount(parent); ++i) {
        const QModelIndex index = pModel->index(i, 0, parent);
        labels << index.data().toString() << Labels(pModel, index);
    }
    return labels;
}

// A click on the check box at the left of a tree item or table cell.
inline void Tick(QAbstractItemView* pView, const QRect& rect) {
    QTest::mouseClick(pView->viewport(), Qt::LeftButton, {},
                      QPoint(rect.left() + 10, rect.center().y()));
}
inline void TickItem(QTreeWidget* pTree, QTreeWidgetItem* pItem) {
    Tick(pTree, pTree->visualItemRect(pItem));
}
inline void SelectItem(QTreeWidget* pTree, QTreeWidgetItem* pItem) {
    QTest::mouseClick(pTree->viewport(), Qt::LeftButton, {}, pTree->visualItemRect(pItem).center());
}
// The same for an item of a view over a model, scrolled to first.
inline void TickItem(QAbstractItemView* pView, const QModelIndex& index) {
    pView->scrollTo(index);
    Tick(pView, pView->visualRect(index));
}
inline void SelectItem(QAbstractItemView* pView, const QModelIndex& index) {
    pView->scrollTo(index);
    QTest::mouseClick(pView->viewport(), Qt::LeftButton, {}, pView->visualRect(index).center());
}

// Answers the next folder dialog with strDir.
inline void ChooseFolder(const QString& strDir) {
    WhenModal<QFileDialog>([=](QFileDialog* pDialog) {
        QLineEdit* pEdit = pDialog->findChild<QLineEdit*>("fileNameEdit");
        pEdit->setText(strDir);
        QTest::keyClick(pEdit, Qt::Key_Return);
    });
}

// Recover into strDest through the folder dialog; shots of the ended dialog
// and of its detail list, then its last button. Returns the summary shown.
inline QString RecoverTo(DRUI& window, const QString& strDest, const QString& strShot,
                         std::function<void(SCANUI*)> fnAtEnd = {}) {
    QString strSummary;
    ChooseFolder(strDest);
    WhenModal<SCANUI>([&, strShot, fnAtEnd](SCANUI* pDialog) {
        QTRY_VERIFY(Named<QPushButton>(pDialog, "Finished") ||
                    Named<QPushButton>(pDialog, "Close"));
        strSummary = pDialog->findChild<QLabel*>("title")->text() +
                     pDialog->findChild<QLabel*>("status")->text();
        Shot(&window, strShot + "_dialog", pDialog);
        WhenModal<CDetail>([&](CDetail* pDetail) {
            Shot(&window, strShot + "_detail", pDetail);
            Click(Named<QPushButton>(pDetail, "Close"));
        });
        Click(Named<QPushButton>(pDialog, "Detail"));
        if (fnAtEnd) fnAtEnd(pDialog);
        QPushButton* pFinished = Named<QPushButton>(pDialog, "Finished");
        Click(pFinished ? pFinished : Named<QPushButton>(pDialog, "Close"));
    });
    Click(Named<QPushButton>(&window, "Recover"));
    return strSummary;
}

}  // namespace twui
