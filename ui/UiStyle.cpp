#include "ui/UiStyle.h"

#include <QEvent>
#include <QIcon>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QWidget>

const char main_button_style[] =
    "QPushButton{background-color: rgb(45, 120, 215); color: white; border: none;"
    " border-radius: 4px; font: bold 14px Arial; padding: 4px 16px;}"
    "QPushButton:hover{background-color: rgb(30, 100, 190);}"
    "QPushButton:pressed{background-color: rgb(20, 80, 160);}";
const char main_button_style_no_file[] =
    "QPushButton{background-color: rgb(205, 208, 214); color: rgb(130, 134, 140); border: none;"
    " border-radius: 4px; font: bold 14px Arial; padding: 4px 16px;}";

void SetActionButtonEnabled(QPushButton* pButton, bool bEnabled) {
    pButton->setEnabled(bEnabled);
    pButton->setStyleSheet(bEnabled ? main_button_style : main_button_style_no_file);
}

QLabel* MakeHeading(const QString& strText, QWidget* pParent) {
    auto* pLabel = new QLabel(strText, pParent);
    pLabel->setObjectName("heading");
    pLabel->setWordWrap(true);
    pLabel->setStyleSheet("font: 13px Arial; color: rgb(70, 80, 95);");
    return pLabel;
}

QPushButton* MakeActionButton(const QString& strText, QWidget* pParent, const char* szIcon) {
    auto* pButton = new QPushButton(strText, pParent);
    pButton->setObjectName(strText);
    pButton->setAccessibleName(strText);
    pButton->setMinimumSize(120, 36);
    pButton->setCursor(Qt::PointingHandCursor);
    // Return or Enter on the focused button presses it, as in a dialog.
    pButton->setAutoDefault(true);
    if (szIcon) {
        pButton->setIcon(QIcon(szIcon));
        pButton->setIconSize(QSize(22, 22));
    }
    SetActionButtonEnabled(pButton, true);
    return pButton;
}

QPushButton* MakeIconButton(const char* szIcon, const QString& strName, int nSide,
                            QWidget* pParent) {
    auto* pButton = new QPushButton(pParent);
    pButton->setIcon(QIcon(szIcon));
    pButton->setIconSize(QSize(nSide * 3 / 5, nSide * 3 / 5));
    pButton->setFixedSize(nSide, nSide);
    pButton->setFlat(true);
    pButton->setToolTip(strName);
    pButton->setAccessibleName(strName);
    pButton->setObjectName(strName);
    pButton->setCursor(Qt::PointingHandCursor);
    pButton->setStyleSheet(
        "QPushButton{border:none; background: transparent;} QPushButton:hover{background-color: "
        "rgb(225, 232, 245);}");
    return pButton;
}

CWindowDragger::CWindowDragger(QWidget* pWindow) : QObject(pWindow), m_pWindow(pWindow) {
    pWindow->installEventFilter(this);
}

bool CWindowDragger::eventFilter(QObject* pWatched, QEvent* pEvent) {
    if (pWatched != m_pWindow) return false;
    switch (pEvent->type()) {
        case QEvent::MouseButtonPress: {
            auto* pMouse = static_cast<QMouseEvent*>(pEvent);
            if (pMouse->button() == Qt::LeftButton) {
                m_bDragging = true;
                m_ptOffset =
                    pMouse->globalPosition().toPoint() - m_pWindow->frameGeometry().topLeft();
            }
            break;
        }
        case QEvent::MouseMove: {
            auto* pMouse = static_cast<QMouseEvent*>(pEvent);
            if (m_bDragging && (pMouse->buttons() & Qt::LeftButton))
                m_pWindow->move(pMouse->globalPosition().toPoint() - m_ptOffset);
            break;
        }
        case QEvent::MouseButtonRelease:
            m_bDragging = false;
            break;
        default:
            break;
    }
    return false;
}
