#include "ui/DRUI.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QStackedLayout>
#include <QVBoxLayout>

#include "common/Platform.h"
#include "engine/LogFileManager.h"

namespace {

constexpr int kWindowWidth = 1000;
constexpr int kWindowHeight = 660;
constexpr int kBannerHeight = 84;

QPushButton* MakeFrameButton(const char* szIcon, const char* szTip, QWidget* pParent) {
    auto* pButton = new QPushButton(pParent);
    pButton->setIcon(QIcon(szIcon));
    pButton->setIconSize(QSize(18, 18));
    pButton->setFixedSize(30, 30);
    pButton->setFlat(true);
    pButton->setToolTip(szTip);
    pButton->setCursor(Qt::PointingHandCursor);
    pButton->setStyleSheet(
        "QPushButton{border:none; background: transparent;} QPushButton:hover{background-color: "
        "rgb(225, 232, 245);}");
    return pButton;
}

}  // namespace

DRUI::DRUI(QWidget* pParent)
    : QMainWindow(pParent),
      m_pBanner(nullptr),
      m_pBtnClose(nullptr),
      m_pBtnMinimize(nullptr),
      m_pStackedLayout(nullptr),
      m_bDragging(false) {}

DRUI::~DRUI() = default;

void DRUI::Init() {
    InitFrame();
    CreateSupportFolders();
}

void DRUI::InitFrame() {
    setWindowTitle("Tarnwick");
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setFixedSize(kWindowWidth, kWindowHeight);
    setStyleSheet("background-color: rgb(251, 252, 255);");

    auto* pCentral = new QWidget(this);
    auto* pMain = new QVBoxLayout(pCentral);
    pMain->setContentsMargins(0, 0, 0, 0);
    pMain->setSpacing(0);

    auto* pHeader = new QWidget(pCentral);
    pHeader->setObjectName("banner");
    pHeader->setFixedHeight(kBannerHeight);
    pHeader->setStyleSheet("QWidget#banner{background-color: rgb(236, 242, 252);}");
    auto* pHeaderLayout = new QHBoxLayout(pHeader);
    pHeaderLayout->setContentsMargins(16, 6, 8, 6);
    m_pBanner = new QLabel(
        "\t    Tarnwick\nRecover photos, videos, audios, documents, emails, archives", pHeader);
    m_pBanner->setStyleSheet("color: rgb(40, 60, 90); background: transparent;");
    QFont bannerFont("Arial", 13, QFont::Bold);
    m_pBanner->setFont(bannerFont);
    pHeaderLayout->addWidget(m_pBanner, 1, Qt::AlignVCenter);
    m_pBtnMinimize = MakeFrameButton(":/image/minimize.png", "Minimise", pHeader);
    m_pBtnClose = MakeFrameButton(":/image/close.png", "Close", pHeader);
    pHeaderLayout->addWidget(m_pBtnMinimize, 0, Qt::AlignTop);
    pHeaderLayout->addWidget(m_pBtnClose, 0, Qt::AlignTop);
    connect(m_pBtnClose, &QPushButton::clicked, this, &DRUI::btnSlotClose);
    connect(m_pBtnMinimize, &QPushButton::clicked, this, &DRUI::btnSlotMinimize);
    pMain->addWidget(pHeader);

    // The pages live here.
    auto* pPages = new QWidget(pCentral);
    m_pStackedLayout = new QStackedLayout(pPages);
    pMain->addWidget(pPages, 1);
    setCentralWidget(pCentral);
}

void DRUI::CreateSupportFolders() {
    // A folder that already exists is fine; a failure shows later, where the
    // scan-log and result stores open their files.
    MakeDirTree(tw::SupportDir().c_str(), 0777);
    MakeDirTree(tw::ScanLogDir().c_str(), 0777);
}

void DRUI::btnSlotClose() {
    close();
}

void DRUI::btnSlotMinimize() {
    showMinimized();
}

void DRUI::mousePressEvent(QMouseEvent* pEvent) {
    if (pEvent->button() == Qt::LeftButton && pEvent->position().y() < kBannerHeight) {
        m_bDragging = true;
        m_ptDragOffset = pEvent->globalPosition().toPoint() - frameGeometry().topLeft();
    }
    QMainWindow::mousePressEvent(pEvent);
}

void DRUI::mouseMoveEvent(QMouseEvent* pEvent) {
    if (m_bDragging && (pEvent->buttons() & Qt::LeftButton))
        move(pEvent->globalPosition().toPoint() - m_ptDragOffset);
    QMainWindow::mouseMoveEvent(pEvent);
}

void DRUI::mouseReleaseEvent(QMouseEvent* pEvent) {
    m_bDragging = false;
    QMainWindow::mouseReleaseEvent(pEvent);
}
