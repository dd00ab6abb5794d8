#include "ui/DRUI.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>
#include <QPushButton>
#include <QStackedLayout>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <cstring>
#include <map>

#include "common/DebugLog.h"
#include "common/Helpers.h"
#include "common/Platform.h"
#include "common/StoreFiles.h"
#include "device/DiskList.h"
#include "engine/Categories.h"
#include "ui/CommandLine.h"
#include "ui/Dialogs.h"
#include "ui/UiStyle.h"
#include "ui/WebPages.h"

namespace {

// The size the window opens at, screen permitting, and the least it takes:
// every control stays reachable on 1280 x 720 at 125 % scaling.
constexpr int kWindowWidth = 1000;
constexpr int kWindowHeight = 660;
constexpr int kMinWidth = 760;
constexpr int kMinHeight = 500;
constexpr int kBannerHeight = 64;

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

DRUI::DRUI(QWidget* pParent) : QMainWindow(pParent), m_engineMaker(&DRUI::MakeEngine) {
    qRegisterMetaType<_PARTITION_ITEM_>("PARTITION_ITEM");
    m_strDecoder = QCoreApplication::applicationFilePath();
    setWindowTitle("Tarnwick");
    setMinimumSize(kMinWidth, kMinHeight);
    FitToScreen();
    setStyleSheet("background-color: rgb(251, 252, 255);");
}

void DRUI::FitToScreen() {
    QSize size(kWindowWidth, kWindowHeight);
    if (const QScreen* pScreen = screen()) {
        // The title bar and the frame take some of the screen too.
        const QSize available = pScreen->availableGeometry().size() - QSize(16, 48);
        size = size.boundedTo(available).expandedTo(minimumSize());
    }
    resize(size);
}

DRUI::~DRUI() {
    // The preview thread reads through the engine: it ends first; then the
    // page whose models show the results, before the results go.
    StopPreviewWorker();
    delete m_pPage3;
    m_pPage3 = nullptr;
}

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
    pMain->addWidget(pHeader);

    auto* pPages = new QWidget(pCentral);
    m_pStackedLayout = new QStackedLayout(pPages);
    pMain->addWidget(pPages, 1);

    // About, Support and Help along the left edge, below every page.
    auto* pFooter = new QWidget(pCentral);
    pFooter->setFixedHeight(36);
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
        pButton->setFixedHeight(30);
        pButton->setMinimumWidth(96);
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
    pLayout->setContentsMargins(40, 16, 40, 10);
    pLayout->setSpacing(12);
    pLayout->addWidget(
        MakeHeading("Select File Types\nTick the kinds of files you want to recover.", m_pPage1));

    auto* pRow = new QHBoxLayout;
    pRow->setSpacing(14);
    for (int i = 0; i < 6; ++i) {
        const TW_CATEGORY_INFO& info = g_twCategories[i];
        auto* pTile = new QWidget(m_pPage1);
        pTile->setObjectName("tile");
        pTile->setMinimumSize(100, 140);
        pTile->setMaximumSize(138, 170);
        pTile->setStyleSheet(QString("QWidget#tile{background-color: %1; border-radius: 8px;}")
                                 .arg(kCategoryLooks[i].szColour));
        auto* pTileLayout = new QVBoxLayout(pTile);
        pTileLayout->setContentsMargins(10, 14, 10, 10);
        auto* pPicture = new QLabel(pTile);
        pPicture->setPixmap(QPixmap(kCategoryLooks[i].szImage));
        pPicture->setAccessibleName(QString("%1 picture").arg(info.szLabel));
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
    // Whether some kinds only are ticked, for a screen reader too.
    connect(m_pCheckAll, &QCheckBox::stateChanged, this, [this](int nState) {
        m_pCheckAll->setAccessibleDescription(nState == Qt::PartiallyChecked ? "some kinds ticked"
                                              : nState == Qt::Checked        ? "all kinds ticked"
                                                                             : "no kind ticked");
    });
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
    pLayout->setContentsMargins(32, 12, 32, 4);
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
    m_pDiskTree->header()->setStretchLastSection(false);
    m_pDiskTree->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    m_pDiskTree->setColumnWidth(1, 120);
    m_pDiskTree->setStyleSheet("QTreeWidget{background: white;} QTreeWidget::item{height:30px;}");
    m_pDiskTree->setMinimumSize(400, 150);
    m_pDiskTree->setIconSize(QSize(24, 24));
    connect(m_pDiskTree, &QTreeWidget::itemClicked, this, &DRUI::diskItemClick);
    connect(m_pDiskTree, &QTreeWidget::itemSelectionChanged, this, &DRUI::diskSelectionChanged);
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

namespace {

// "FAT32 “HOLIDAY”", "NTFS", "no file system recognised", "cannot be read".
QString VolumeText(const TW_VOLUME_INFO& volume) {
    if (!volume.bReadable) return "cannot be read";
    if (volume.strFileSystem.empty()) return "no file system recognised";
    QString strText = QString::fromStdString(volume.strFileSystem);
    if (!volume.strLabel.empty())
        strText += QString(" \u201c%1\u201d").arg(QString::fromStdString(volume.strLabel));
    return strText;
}

QString SizeText(unsigned long long u64Bytes) {
    return QString::fromStdString(FormatSize(u64Bytes));
}

}  // namespace

void DRUI::CreateDiskTree() {
    m_pDiskTree->clear();
    const QFont font("Arial", 12, QFont::Bold);
    const QString kDot = " \u00b7 ";
    QTreeWidgetItem* pFirstRemovable = nullptr;
    for (const TW_DISK_INFO& disk : ListDisks()) {
        // Every disk is a row that scans the whole disk: a card without a
        // partition table, or one whose table is damaged, is reached so.
        auto* pDisk = new QTreeWidgetItem(m_pDiskTree);
        QString strName =
            QString("Disk %1").arg(disk.nDiskNo + 1) + kDot + QString::fromStdString(disk.strModel);
        if (disk.bRemovable) strName += kDot + "removable";
        if (disk.nOpenError != 0) {
            strName += kDot + QString("cannot be opened: %1").arg(std::strerror(disk.nOpenError));
            pDisk->setFlags(Qt::ItemIsEnabled);
        } else if (disk.volume.bReadable && !disk.volume.strFileSystem.empty()) {
            strName += kDot + VolumeText(disk.volume);
        } else if (disk.vecPartitions.empty()) {
            strName += kDot + (disk.volume.bReadable ? "no partition table or file system found"
                                                     : "cannot be read");
        }
        pDisk->setText(0, strName);
        pDisk->setIcon(0, QIcon(":/image/physical_drive.png"));
        pDisk->setFont(0, font);
        if (disk.nOpenError == 0) {
            pDisk->setText(1, SizeText(disk.u64Bytes));
            pDisk->setFont(1, font);
            pDisk->setData(0, Qt::UserRole, QVariant::fromValue(WholeDiskItem(disk)));
        }
        if (disk.bRemovable && disk.nOpenError == 0 && !pFirstRemovable) pFirstRemovable = pDisk;
        for (size_t i = 0; i < disk.vecPartitions.size(); ++i) {
            const _PARTITION_ITEM_& item = disk.vecPartitions[i];
            const unsigned long long u64Bytes =
                item.u64EndSector >= item.u64StartSector
                    ? (item.u64EndSector - item.u64StartSector + 1) * 512
                    : 0;
            // The table's own name (GPT, Apple map) beside the number on this disk.
            QString strPart = QString("Partition %1").arg(i + 1);
            const QString strTableName = QString::fromStdString(GetPartitionNameUtf8(item));
            if (!strTableName.isEmpty() && strTableName != strPart)
                strPart += QString(" (%1)").arg(strTableName);
            auto* pPart = new QTreeWidgetItem(pDisk);
            pPart->setText(0, strPart + kDot + VolumeText(disk.vecVolumes[i]));
            pPart->setText(1, SizeText(u64Bytes));
            pPart->setIcon(0, QIcon(":/image/drive.png"));
            pPart->setFont(0, font);
            pPart->setFont(1, font);
            pPart->setData(0, Qt::UserRole, QVariant::fromValue(item));
            TwDebug("(*iterVec).szDiskName = %s u64Bytes = %s\n", item.szDiskName,
                    FormatSize(u64Bytes).c_str());
        }
        pDisk->setExpanded(true);
    }
    // Only a removable disk is picked beforehand: a wrong guess on a fixed
    // disk would scan the system disk.
    if (pFirstRemovable) m_pDiskTree->setCurrentItem(pFirstRemovable);
    diskSelectionChanged();
}

QTreeWidgetItem* DRUI::PickedDiskItem() const {
    const QList<QTreeWidgetItem*> selected = m_pDiskTree->selectedItems();
    if (selected.isEmpty() || !selected.first()->data(0, Qt::UserRole).isValid()) return nullptr;
    return selected.first();
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

void DRUI::diskItemClick(QTreeWidgetItem* /*pItem*/, int /*nColumn*/) {
    diskSelectionChanged();
}

void DRUI::diskSelectionChanged() {
    SetActionButtonEnabled(m_pBtnScan, PickedDiskItem() != nullptr);
}

void DRUI::diskItemDoubleClick(QTreeWidgetItem* pItem, int /*nColumn*/) {
    if (pItem && pItem == PickedDiskItem()) btnSlotScan();
}

void DRUI::btnSlotRefresh() {
    CreateDiskTree();
}

bool DRUI::HasResultPage() const {
    return m_pPage3 && m_pStackedLayout->currentWidget() == m_pPage3;
}

bool DRUI::MayDiscardResults(const QString& strQuestion) {
    // A scan of a large disk takes hours: its results are not thrown away
    // without asking.
    return !HasResultPage() || m_vecSearchResults.empty() ||
           CMessageBox::Ask(this, strQuestion) != 0;
}

void DRUI::btnSlotBack() {
    if (!MayDiscardResults("Go back to the disks? The scan results are discarded.")) return;
    if (HasResultPage())
        m_pStackedLayout->setCurrentWidget(m_pPage2);
    else
        m_pStackedLayout->setCurrentWidget(m_pPage1);
    StopPreviewWorker();
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

QPushButton* DRUI::DefaultButton() const {
    QWidget* pPage = m_pStackedLayout->currentWidget();
    if (pPage == m_pPage1) return m_pBtnStart;
    if (pPage == m_pPage2) return m_pBtnScan;
    if (pPage && pPage == m_pPage3) return m_pBtnRecover;
    return nullptr;
}

void DRUI::keyPressEvent(QKeyEvent* pEvent) {
    if (pEvent->key() == Qt::Key_Escape) return;
    if (pEvent->key() == Qt::Key_Return || pEvent->key() == Qt::Key_Enter) {
        QPushButton* pDefault = DefaultButton();
        if (pDefault && pDefault->isEnabled()) pDefault->click();
        return;
    }
    QMainWindow::keyPressEvent(pEvent);
}

void DRUI::closeEvent(QCloseEvent* pEvent) {
    if (MayDiscardResults("Close Tarnwick? The scan results are discarded."))
        pEvent->accept();
    else
        pEvent->ignore();
}
