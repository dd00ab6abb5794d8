// Looks and behaviour shared by the windows of the application: the two
// action-button styles, page headings, action and flat icon buttons, and
// dragging the frameless dialogs by the mouse.
#pragma once

#include <QObject>
#include <QPoint>
#include <QString>

class QLabel;
class QPushButton;
class QWidget;

// Action buttons: blue with white text when enabled, grey when disabled.
extern const char main_button_style[];
extern const char main_button_style_no_file[];

// Enables or disables an action button and gives it the matching style.
void SetActionButtonEnabled(QPushButton* pButton, bool bEnabled);

// A page heading; a screen reader says its text as it stands.
QLabel* MakeHeading(const QString& strText, QWidget* pParent);
// An enabled action button named by its text, with an optional icon; Return
// presses it when it has the focus.
QPushButton* MakeActionButton(const QString& strText, QWidget* pParent,
                              const char* szIcon = nullptr);

// A flat button that shows only an icon. Its accessible name (also its tool
// tip) is what a screen reader says, and how tests find it.
QPushButton* MakeIconButton(const char* szIcon, const QString& strName, int nSide,
                            QWidget* pParent);

// Moves a frameless window while the left button is held on it (on the
// window itself or on a child that does not take the press).
class CWindowDragger : public QObject {
    Q_OBJECT
public:
    explicit CWindowDragger(QWidget* pWindow);

protected:
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private:
    QWidget* m_pWindow;
    QPoint m_ptOffset;
    bool m_bDragging = false;
};
