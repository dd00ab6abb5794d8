// The main window: frameless, 1000 x 660, a banner with the close and minimise
// buttons above a stacked layout that holds the pages.
#pragma once

#include <QMainWindow>
#include <QPoint>

class QLabel;
class QPushButton;
class QStackedLayout;

class DRUI : public QMainWindow {
    Q_OBJECT
public:
    explicit DRUI(QWidget* pParent = nullptr);
    ~DRUI() override;

    // Builds the window and creates the application-support folders.
    void Init();

    QStackedLayout* StackedLayout() const { return m_pStackedLayout; }

protected:
    // The window has no frame: the banner moves it.
    void mousePressEvent(QMouseEvent* pEvent) override;
    void mouseMoveEvent(QMouseEvent* pEvent) override;
    void mouseReleaseEvent(QMouseEvent* pEvent) override;

private slots:
    void btnSlotClose();
    void btnSlotMinimize();

private:
    void InitFrame();
    void CreateSupportFolders();

    QLabel* m_pBanner;
    QPushButton* m_pBtnClose;
    QPushButton* m_pBtnMinimize;
    QStackedLayout* m_pStackedLayout;
    bool m_bDragging;
    QPoint m_ptDragOffset;
};
