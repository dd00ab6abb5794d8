#include "ui/DRUI.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QStackedLayout>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <map>

#include "common/DebugLog.h"
#include "common/Helpers.h"
#include "common/Platform.h"
#include "common/StoreFiles.h"
#include "engine/Categories.h"
#include "ui/CommandLine.h"
#include "ui/Dialogs.h"
#include "ui/UiStyle.h"
#include "ui/WebPages.h"

namespace {

constexpr int kWindowWidth = 1000;
constexpr int kWindowHeight = 660;
constexpr int kBannerHeight = 84;

// The category boxes of page 1: image and colour, in the order shown.
struct CategoryLook {
    const char* szImage;
    const char* szColour;
};
const CategoryLook kCategoryLooks[6] = {
    {":/image/photo.png", "rgb(180, 160, 200)"},  {":/image/music.png", "rgb(250, 181, 160)"},
    {":/image/video.png", "rgb(152, 215, 245)"},  {":/image/document.png", "rgb(255, 181, 197)"},
    {":/image/archive.png", "rgb(255, 205, 75)"}, {":/image/other.png", "rgb(162, 218, 85)"},
};

}  // namespace

DRUI::DRUI(QWidget* pParent)
    : QMainWindow(pParent),
      m_engineMaker(&DRUI::MakeEngine),
      m_pPreviewBuf(new unsigned char[kPreviewBytes]()),
      m_pTextBuf(new char[2 * kPreviewBytes]()) {
    qRegisterMetaType<_PARTITION_ITEM_>("PARTITION_ITEM");
    m_strDecoder = QCoreApplication::applicationFilePath();
    setWindowTitle("Tarnwick");
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setFixedSize(kWindowWidth, kWindowHeight);
    setStyleSheet("background-color: rgb(251, 252, 255);");
    new CWindowDragger(this);
}

DRUI::~DRUI() = default;

void DRUI::Init() {
    InitFrame();
    InitLayout1Widget();
    InitLayout2Widget();
    m_pStackedLayout->addWidget(m_pPage1);
    m_pStackedLayout->addWidget(m_pPage2);
    m_pStackedLayout->setCurrentWidget(m_pPage1);
    CreateSupportFolders();
}

void DRUI::InitFrame() {
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
    m_pBanner->setAccessibleName("Tarnwick");
    m_pBanner->setStyleSheet("color: rgb(40, 60, 90); background: transparent;");
    m_pBanner->setFont(QFont("Arial", 13, QFont::Bold));
    pHeaderLayout->addWidget(m_pBanner, 1, Qt::AlignVCenter);
    QPushButton* pMin = MakeIconButton(":/image/minimize.png", "Minimise", 30, pHeader);
    QPushButton* pClose = MakeIconButton(":/image/close.png", "Close", 30, pHeader);
    pHeaderLayout->addWidget(pMin, 0, Qt::AlignTop);
    pHeaderLayout->addWidget(pClose, 0, Qt::AlignTop);
    connect(pClose, &QPushButton::clicked, this, &DRUI::btnCloseSlot);
    connect(pMin, &QPushButton::clicked, this, &DRUI::btnMinSlot);
    pMain->addWidget(pHeader);

    auto* pPages = new QWidget(pCentral);
    m_pStackedLayout = new QStackedLayout(pPages);
    pMain->addWidget(pPages, 1);

    // About, Support and Help along the left edge, below every page.
    auto* pFooter = new QWidget(pCentral);
    pFooter->setFixedHeight(40);
    auto* pFooterLayout = new QHBoxLayout(pFooter);
    pFooterLayout->setContentsMargins(12, 0, 12, 6);
    struct {
        const char* szIcon;
        const char* szName;
        void (DRUI::*pSlot)();
    } const links[] = {{":/image/about.png", "About", &DRUI::btnAboutSlot},
                       {":/image/support.png", "Support", &DRUI::btnSupportSlot},
                       {":/image/help.png", "Help", &DRUI::btnHelpSlot}};
    for (const auto& link : links) {
        QPushButton* pButton = MakeIconButton(link.szIcon, link.szName, 30, pFooter);
        pButton->setText(link.szName);
        pButton->setFixedSize(96, 30);
        pButton->setFont(QFont("Arial", 10, QFont::Bold));
        pButton->setStyleSheet(
            "QPushButton{border:none; background: transparent; color: rgb(60, 72, 88); font: "
            "bold 10pt Arial; text-align: left;} QPushButton:hover{background-color: rgb(225, "
            "232, 245);}");
        connect(pButton, &QPushButton::clicked, this, link.pSlot);
        pFooterLayout->addWidget(pButton);
    }
    pFooterLayout->addStretch(1);
    pMain->addWidget(pFooter);
    setCentralWidget(pCentral);
}

void DRUI::InitLayout1Widget() {
    m_pPage1 = new QWidget;
    auto* pLayout = new QVBoxLayout(m_pPage1);
    pLayout->setContentsMargins(40, 24, 40, 10);
    pLayout->setSpacing(16);
    pLayout->addWidget(
        MakeHeading("Select File Types\nTick the kinds of files you want to recover.", m_pPage1));

    auto* pRow = new QHBoxLayout;
    pRow->setSpacing(14);
    for (int i = 0; i < 6; ++i) {
        const TW_CATEGORY_INFO& info = g_twCategories[i];
        auto* pTile = new QWidget(m_pPage1);
        pTile->setObjectName("tile");
        pTile->setFixedSize(138, 170);
        pTile->setStyleSheet(QString("QWidget#tile{background-color: %1; border-radius: 8px;}")
                                 .arg(kCategoryLooks[i].szColour));
        auto* pTileLayout = new QVBoxLayout(pTile);
        pTileLayout->setContentsMargins(10, 14, 10, 10);
        auto* pPicture = new QLabel(pTile);
        pPicture->setPixmap(QPixmap(kCategoryLooks[i].szImage));
        pPicture->setAlignment(Qt::AlignCenter);
        pPicture->setStyleSheet("background: transparent;");
        pTileLayout->addWidget(pPicture, 1);
        auto* pBox = new QCheckBox(info.szLabel, pTile);
        pBox->setObjectName(info.szLabel);
        pBox->setAccessibleName(info.szLabel);
        pBox->setStyleSheet(
            "QCheckBox{background: transparent; font: bold 14px Arial; color: "
            "rgb(40, 45, 55);}");
        pBox->setChecked(true);
        pTileLayout->addWidget(pBox, 0, Qt::AlignHCenter);
        connect(pBox, &QCheckBox::stateChanged, this, &DRUI::CheckBoxStatChange);
        m_pCategoryBoxes[i] = pBox;
        pRow->addWidget(pTile);
    }
    pLayout->addLayout(pRow);
    pLayout->addStretch(1);

    auto* pBottom = new QHBoxLayout;
    m_pCheckAll = new QCheckBox("Recover All", m_pPage1);
    m_pCheckAll->setObjectName("Recover All");
    m_pCheckAll->setAccessibleName("Recover All");
    m_pCheckAll->setStyleSheet("font: bold 14px Arial; color: rgb(40, 45, 55);");
    m_pCheckAll->setCheckState(Qt::Checked);
    connect(m_pCheckAll, &QCheckBox::stateChanged, this, &DRUI::CheckBoxAllStatChange);
    pBottom->addWidget(m_pCheckAll);
    pBottom->addStretch(1);
    m_pBtnStart = MakeActionButton("Start", m_pPage1);
    connect(m_pBtnStart, &QPushButton::clicked, this, &DRUI::btnSlot);
    pBottom->addWidget(m_pBtnStart);
    pLayout->addLayout(pBottom);
}

void DRUI::InitLayout2Widget() {
    m_pPage2 = new QWidget;
    auto* pLayout = new QVBoxLayout(m_pPage2);
    pLayout->setContentsMargins(40, 12, 40, 4);
    pLayout->setSpacing(8);
    pLayout->addWidget(MakeHeading(
        "Select Media For Recovery\nPlease select a storage device below to scan for photos, "
        "audios, videos, documents, emails, etc.",
        m_pPage2));

    m_pDiskTree = new QTreeWidget(m_pPage2);
    m_pDiskTree->setObjectName("Devices");
    m_pDiskTree->setAccessibleName("Devices");
    m_pDiskTree->setColumnCount(2);
    m_pDiskTree->setHeaderLabels({"Name", "Size"});
    m_pDiskTree->setColumnWidth(0, 700);
    m_pDiskTree->setColumnWidth(1, 100);
    m_pDiskTree->setStyleSheet("QTreeWidget{background: white;} QTreeWidget::item{height:30px;}");
    m_pDiskTree->setMinimumSize(800, 380);
    m_pDiskTree->setIconSize(QSize(24, 24));
    connect(m_pDiskTree, &QTreeWidget::itemClicked, this, &DRUI::diskItemClick);
    connect(m_pDiskTree, &QTreeWidget::itemDoubleClicked, this, &DRUI::diskItemDoubleClick);
    pLayout->addWidget(m_pDiskTree, 1);

    auto* pBottom = new QHBoxLayout;
    auto* pVersion = new QLabel(QString("Version %1").arg(kTarnwickVersion), m_pPage2);
    pVersion->setStyleSheet("font: 11px Arial; color: rgb(120, 128, 140);");
    pBottom->addWidget(pVersion);
    pBottom->addStretch(1);
    QPushButton* pBack = MakeActionButton("Back", m_pPage2);
    QPushButton* pRefresh = MakeActionButton("Refresh", m_pPage2);
    m_pBtnScan = MakeActionButton("Scan", m_pPage2, ":/image/scan_files.png");
    connect(pBack, &QPushButton::clicked, this, &DRUI::btnSlotBack);
    connect(pRefresh, &QPushButton::clicked, this, &DRUI::btnSlotRefresh);
    connect(m_pBtnScan, &QPushButton::clicked, this, &DRUI::btnSlotScan);
    pBottom->addWidget(pBack);
    pBottom->addWidget(pRefresh);
    pBottom->addWidget(m_pBtnScan);
    pLayout->addLayout(pBottom);

    CreateDiskTree();
}

void DRUI::CreateDiskTree() {
    m_pDiskTree->clear();
    std::map<int, std::vector<_PARTITION_ITEM_>> items;
    CPartitionManager().GetPartitionItems(items);
    const QFont font("Arial", 14, QFont::Bold);
    int nNumber = 0;
    for (const auto& disk : items) {
        if (disk.second.empty()) continue;
        auto* pDisk = new QTreeWidgetItem(m_pDiskTree);
        pDisk->setText(0, QString("Physical Driver %1").arg(++nNumber));
        pDisk->setIcon(0, QIcon(":/image/physical_drive.png"));
        pDisk->setFont(0, font);
        pDisk->setExpanded(true);
        for (const _PARTITION_ITEM_& item : disk.second) {
            const long long llBytes =
                static_cast<long long>(item.u64EndSector - item.u64StartSector + 1) * 512;
            const std::string strSize = GetFileSizeString(llBytes);
            auto* pPart = new QTreeWidgetItem(pDisk);
            pPart->setText(0, QString::fromStdString(GetPartitionNameUtf8(item)));
            pPart->setText(1, QString::fromStdString(strSize));
            pPart->setIcon(0, QIcon(":/image/drive.png"));
            pPart->setFont(0, font);
            pPart->setFont(1, font);
            pPart->setData(0, Qt::UserRole, QVariant::fromValue(item));
            TwDebug("(*iterVec).szDiskName = %s u64Bytes = %s\n", item.szDiskName, strSize.c_str());
            m_pDiskTree->setCurrentItem(pPart);
        }
    }
    SetActionButtonEnabled(m_pBtnScan, m_pDiskTree->currentItem() != nullptr);
}

void DRUI::CreateSupportFolders() {
    // A folder that already exists is fine; a failure shows later, where the
    // scan-log and result stores open their files.
    MakeDirTree(tw::SupportDir().c_str(), 0777);
    MakeDirTree(tw::ScanLogDir().c_str(), 0777);
}

unsigned int DRUI::CheckedCategories() const {
    unsigned int nCategories = 0;
    for (int i = 0; i < 6; ++i)
        if (m_pCategoryBoxes[i] && m_pCategoryBoxes[i]->isChecked())
            nCategories |= g_twCategories[i].nCategory;
    return nCategories;
}

void DRUI::CheckBoxStatChange(int /*nStat*/) {
    m_bPartial = false;
    int nChecked = 0;
    for (QCheckBox* pBox : m_pCategoryBoxes) nChecked += pBox->isChecked() ? 1 : 0;
    if (nChecked == 6) {
        m_pCheckAll->setCheckState(Qt::Checked);
    } else if (nChecked == 0) {
        m_pCheckAll->setCheckState(Qt::Unchecked);
    } else {
        m_bPartial = true;
        m_pCheckAll->setTristate(true);
        m_pCheckAll->setCheckState(Qt::PartiallyChecked);
    }
}

void DRUI::CheckBoxAllStatChange(int nStat) {
    if (nStat == Qt::Unchecked) {
        SetActionButtonEnabled(m_pBtnStart, false);
        for (QCheckBox* pBox : m_pCategoryBoxes) pBox->setChecked(false);
    } else if (nStat == Qt::Checked) {
        SetActionButtonEnabled(m_pBtnStart, true);
        for (QCheckBox* pBox : m_pCategoryBoxes) pBox->setChecked(true);
    } else if (m_bPartial) {
        SetActionButtonEnabled(m_pBtnStart, true);
    } else {
        // The user's own click cycled into the partial state: check all.
        m_pCheckAll->setCheckState(Qt::Checked);
    }
}

void DRUI::btnSlot() {
    m_pStackedLayout->setCurrentWidget(m_pPage2);
}

void DRUI::diskItemClick(QTreeWidgetItem* pItem, int /*nColumn*/) {
    SetActionButtonEnabled(m_pBtnScan, pItem && pItem->parent());
}

void DRUI::diskItemDoubleClick(QTreeWidgetItem* pItem, int /*nColumn*/) {
    if (pItem && pItem->parent()) btnSlotScan();
}

void DRUI::btnSlotRefresh() {
    CreateDiskTree();
}

bool DRUI::HasResultPage() const {
    return m_pPage3 && m_pStackedLayout->currentWidget() == m_pPage3;
}

void DRUI::btnSlotBack() {
    if (HasResultPage())
        m_pStackedLayout->setCurrentWidget(m_pPage2);
    else
        m_pStackedLayout->setCurrentWidget(m_pPage1);
    m_pEngine.reset();
}

void DRUI::btnAboutSlot() {
    btnOpenUrl(WebPageUrl(WebPage::About).toString());
}

void DRUI::btnSupportSlot() {
    btnOpenUrl(WebPageUrl(WebPage::Support).toString());
}

void DRUI::btnHelpSlot() {
    btnOpenUrl(WebPageUrl(WebPage::Help).toString());
}

void DRUI::btnOpenUrl(QString url) {
    if (!url.isEmpty()) QDesktopServices::openUrl(QUrl(url));
}

void DRUI::btnCloseSlot() {
    close();
}

void DRUI::btnMinSlot() {
    showMinimized();
}

void DRUI::keyPressEvent(QKeyEvent* pEvent) {
    if (pEvent->key() == Qt::Key_Escape) return;
    QMainWindow::keyPressEvent(pEvent);
}

void DRUI::mousePressEvent(QMouseEvent* pEvent) {
    if (pEvent->button() == Qt::RightButton) {
        // A scan of a large disk takes hours: its results are not thrown away
        // without asking.
        if (HasResultPage() &&
            CMessageBox::Ask(this, "Close Tarnwick and discard the scan results?") == 0)
            return;
        close();
        return;
    }
    QMainWindow::mousePressEvent(pEvent);
}

bool DRUI::eventFilter(QObject* pWatched, QEvent* pEvent) {
    return QMainWindow::eventFilter(pWatched, pEvent);
}
