// Page 3, the result browser: the found files in a tree by kind and
// extension or by folder, the list (or thumbnails) of the group picked,
// searched and filtered, the preview of the file picked, and the ticks that
// "Recover" saves, with how it lays the files out.
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStackedLayout>
#include <QStackedWidget>
#include <QTableView>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "common/Helpers.h"
#include "common/MediumSource.h"
#include "common/TextPreview.h"
#include "deepscan/ProfessionalRecovery.h"
#include "ui/DRUI.h"
#include "ui/PictureView.h"
#include "ui/PreviewDecoder.h"
#include "ui/ResultModels.h"
#include "ui/ScanUI.h"
#include "ui/TextCodec.h"
#include "ui/UiStyle.h"

namespace {

// The 65 extensions with an icon of their own.
const char* const szFileTypeStr[] = {"7z",
                                     "accdb",
                                     "ace",
                                     "acid",
                                     "aiff",
                                     "asf",
                                     "at3",
                                     "au",
                                     "avi",
                                     "bmp",
                                     "cab",
                                     "chm",
                                     "divx",
                                     "doc",
                                     "dss",
                                     "dv",
                                     "epson",
                                     "exe",
                                     "gif",
                                     "gzip",
                                     "html",
                                     "ico",
                                     "indd",
                                     "jar",
                                     "jpg",
                                     "jpeg",
                                     "mamiya",
                                     "mid",
                                     "minolta",
                                     "mov",
                                     "mp3",
                                     "mp4",
                                     "mpeg",
                                     "music",
                                     "ods",
                                     "ogg",
                                     "one",
                                     "other",
                                     "pdf",
                                     "png",
                                     "ppt",
                                     "psd",
                                     "psp",
                                     "rar",
                                     "real",
                                     "rmvb",
                                     "rps",
                                     "thm",
                                     "tif",
                                     "tiff",
                                     "tod",
                                     "txt",
                                     "vob",
                                     "wma",
                                     "wmv",
                                     "wps",
                                     "xls",
                                     "xml",
                                     "zip",
                                     "audio_default",
                                     "default",
                                     "image",
                                     "office_default",
                                     "photo_default",
                                     "video_default"};
static_assert(sizeof(szFileTypeStr) / sizeof(szFileTypeStr[0]) == 65, "65 icons");

}  // namespace

QString DRUI::GetExtendNameIcon(QString strExt) {
    const QString strName = strExt.startsWith('.') ? strExt.mid(1) : strExt;
    QString strPath;
    if (strName.size() >= 2) {
        static const char* const kIcons[] = {":/image/FileIcon/image.png",
                                             ":/image/FileIcon/audio_default.png",
                                             ":/image/FileIcon/office_default.png",
                                             ":/image/FileIcon/video_default.png",
                                             ":/image/FileIcon/zip.png",
                                             ":/image/FileIcon/office_default.png"};
        const int nList = FirstTypeListOf(strName.toLower());
        strPath = nList < 0 ? ":/image/FileIcon/other.png" : kIcons[nList];
    }
    const QByteArray name = strName.toUtf8();
    for (const char* szName : szFileTypeStr) {
        if (strcasecmp(szName, name.constData()) != 0) continue;
        const char* szFile = !strcmp(szName, "jpeg")   ? "jpg"
                             : !strcmp(szName, "tiff") ? "tif"
                                                       : szName;
        return QString(":/image/FileIcon/%1.png").arg(szFile);
    }
    return strPath;
}

namespace {

// A button of a pair that shows one of two things ("By type" or "By folder").
QPushButton* MakeToggle(const QString& strText, QWidget* pParent, QButtonGroup* pGroup, int nId) {
    auto* pButton = new QPushButton(strText, pParent);
    pButton->setObjectName(strText);
    pButton->setAccessibleName(strText);
    pButton->setCheckable(true);
    pButton->setAutoDefault(false);
    pButton->setStyleSheet(
        "QPushButton{border: 1px solid rgb(180, 190, 205); background: white; padding: 3px 10px;"
        " font: 12px Arial; color: rgb(40, 60, 90);}"
        "QPushButton:checked{background: rgb(45, 120, 215); color: white;}");
    pGroup->addButton(pButton, nId);
    return pButton;
}

QLabel* MakeLabel(const QString& strText, QWidget* pParent) {
    auto* pLabel = new QLabel(strText, pParent);
    pLabel->setStyleSheet("font: 12px Arial; color: rgb(60, 72, 88);");
    return pLabel;
}

// The size units of the size filter.
const char* const kSizeUnits[] = {"bytes", "KiB", "MiB", "GiB"};

}  // namespace

void DRUI::InitLayout3Widget() {
    if (m_pPage3) {
        m_pStackedLayout->removeWidget(m_pPage3);
        delete m_pPage3;
    }
    m_pPage3 = new QWidget;
    auto* pLayout = new QVBoxLayout(m_pPage3);
    pLayout->setContentsMargins(20, 8, 20, 4);
    pLayout->setSpacing(6);
    const size_t nFound = m_vecSearchResults.size();
    pLayout->addWidget(MakeHeading(QString("Select the Files to Recover\nThe scan found %1 "
                                           "recoverable %2. Preview them and tick the ones you "
                                           "want back.")
                                       .arg(nFound)
                                       .arg(nFound == 1 ? "file" : "files"),
                                   m_pPage3));
    // What the medium could not give is said where the finds are.
    if (auto* pDeep = dynamic_cast<CProfessionalRecovery*>(m_pEngine.get())) {
        const std::shared_ptr<CMediumSource>& pSource = pDeep->GetSource();
        QString strText;
        if (pSource && pSource->IsGone())
            strText = QString(
                          "The device went away at sector %1: only what was found before "
                          "is listed.")
                          .arg(pSource->GoneAtSector());
        else if (pSource && pSource->UnreadableSectors() > 0)
            strText = QString(
                          "%1 sectors could not be read. A file that crosses them comes back "
                          "whole, with zeros where they were.")
                          .arg(pSource->UnreadableSectors());
        if (!strText.isEmpty()) {
            auto* pUnreadable = new QLabel(strText, m_pPage3);
            pUnreadable->setObjectName("unreadable");
            pUnreadable->setStyleSheet("font: bold 13px Arial; color: rgb(170, 60, 30);");
            pLayout->addWidget(pUnreadable);
        }
    }
    if (!m_pResults) m_pResults.reset(new CResultSet);

    pLayout->addLayout(CreateToolRow());
    m_pFilterPanel = CreateFilterPanel();
    pLayout->addWidget(m_pFilterPanel);

    auto* pMiddle = new QHBoxLayout;
    pMiddle->setSpacing(10);
    m_pTreeStack = new QStackedWidget(m_pPage3);
    m_pTreeStack->addWidget(CreateTree(TREE_TYPES));
    m_pTreeStack->addWidget(CreateTree(TREE_FOLDERS));
    m_pTreeStack->setMinimumSize(200, 100);
    m_pTreeStack->setMaximumWidth(260);
    pMiddle->addWidget(m_pTreeStack);
    m_pFilesAndPreview = new QBoxLayout(QBoxLayout::TopToBottom);
    m_pFilesAndPreview->addWidget(CreateTable());
    m_pFilesAndPreview->addWidget(CreatePreviewArea());
    pMiddle->addLayout(m_pFilesAndPreview, 1);
    pLayout->addLayout(pMiddle, 1);

    pLayout->addLayout(CreateRecoveryOptions());

    auto* pBottom = new QHBoxLayout;
    m_pSummary = new QLabel("Select 0 bytes in 0 files", m_pPage3);
    m_pSummary->setObjectName("summary");
    m_pSummary->setStyleSheet("font: bold 13px Arial; color: rgb(40, 60, 90);");
    pBottom->addWidget(m_pSummary);
    pBottom->addStretch(1);
    QPushButton* pBack = MakeActionButton("Back", m_pPage3);
    connect(pBack, &QPushButton::clicked, this, &DRUI::btnSlotBack);
    pBottom->addWidget(pBack);
    m_pBtnRecover = MakeActionButton("Recover", m_pPage3, ":/image/recover_file.png");
    SetActionButtonEnabled(m_pBtnRecover, false);
    connect(m_pBtnRecover, &QPushButton::clicked, this, &DRUI::btnRecovery);
    pBottom->addWidget(m_pBtnRecover);
    pLayout->addLayout(pBottom);
    m_pStackedLayout->addWidget(m_pPage3);

    connect(m_pBtnFilters, &QPushButton::toggled, m_pFilterPanel, &QWidget::setVisible);
    ShowThumbnails(false);
    m_nTree = TREE_TYPES;
    m_pBtnTree[TREE_TYPES]->setChecked(true);
    m_nPreviewFile = -1;

    // Previews and thumbnails from here on come from their own thread.
    m_pWorker.reset(new CPreviewWorker(
        m_engineMutex, m_strDecoder,
        LocaleAsksForGb18030(std::getenv("LC_ALL"), std::getenv("LC_CTYPE"), std::getenv("LANG"))));
    connect(m_pWorker.get(), &CPreviewWorker::PreviewReady, this, &DRUI::PreviewArrived);
    connect(m_pWorker.get(), &CPreviewWorker::ThumbnailReady, this, &DRUI::ThumbnailArrived);
    m_bDone[OP_PREVIEW] = true;
    m_pWorker->Start(m_pEngine.get(), &DRUI::PreViewCallBack, this, &m_bDone[OP_PREVIEW]);
    UpdateSummary();
}

QWidget* DRUI::CreateTree(RESULT_TREE nTree) {
    auto* pModel = m_pGroupModels[nTree] = new CGroupModel(*m_pResults, nTree, m_pPage3);
    auto* pTree = m_pTrees[nTree] = new QTreeView(m_pPage3);
    const QString strName = nTree == TREE_TYPES ? "Types" : "Folders";
    pTree->setObjectName(strName);
    pTree->setAccessibleName(strName);
    pTree->setModel(pModel);
    pTree->setUniformRowHeights(true);
    pTree->setStyleSheet("QTreeView{background: white;}");
    pTree->setSelectionMode(QAbstractItemView::SingleSelection);
    pTree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    pTree->expandToDepth(nTree == TREE_TYPES ? 0 : 1);
    connect(pModel, &CGroupModel::Ticked, this, &DRUI::TicksChanged);
    connect(pTree->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &DRUI::treeItemSelectChanged);
    return pTree;
}

QWidget* DRUI::CreateTable() {
    m_pFileModel = new CFileListModel(*m_pResults, m_pPage3);
    m_pThumbModel = new CThumbnailModel(*m_pResults, *m_pFileModel, m_pPage3);
    connect(m_pFileModel, &CFileListModel::Ticked, this, &DRUI::TicksChanged);
    connect(m_pThumbModel, &CThumbnailModel::ThumbnailWanted, this, &DRUI::ThumbnailWanted);
    m_pFileStack = new QStackedWidget(m_pPage3);

    m_pFileTable = new QTableView(m_pPage3);
    m_pFileTable->setObjectName("Files");
    m_pFileTable->setAccessibleName("Files");
    m_pFileTable->setModel(m_pFileModel);
    QHeaderView* pHeader = m_pFileTable->horizontalHeader();
    pHeader->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    pHeader->setSectionResizeMode(QHeaderView::Interactive);
    pHeader->setStretchLastSection(true);
    // The engine's order until a header is clicked.
    pHeader->setSortIndicator(-1, Qt::AscendingOrder);
    pHeader->setSortIndicatorClearable(true);
    m_pFileTable->setSortingEnabled(true);
    const int kWidths[COL_COUNT] = {180, 75, 115, 110, 120, 75};
    for (int i = 0; i < COL_COUNT; ++i) m_pFileTable->setColumnWidth(i, kWidths[i]);
    m_pFileTable->verticalHeader()->setVisible(false);
    m_pFileTable->verticalHeader()->setDefaultSectionSize(22);
    m_pFileTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pFileTable->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pFileTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pFileTable->setWordWrap(false);
    // Tab moves on to the next control instead of from cell to cell.
    m_pFileTable->setTabKeyNavigation(false);
    m_pFileTable->setStyleSheet("QTableView{background: white;}");
    m_pFileTable->installEventFilter(this);
    connect(m_pFileTable->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &DRUI::tableItemSelectChanged);
    m_pFileStack->addWidget(m_pFileTable);

    m_pGrid = new QListView(m_pPage3);
    m_pGrid->setObjectName("Thumbnail grid");
    m_pGrid->setAccessibleName("Thumbnail grid");
    m_pGrid->setModel(m_pThumbModel);
    m_pGrid->setModelColumn(COL_NAME);
    // A flowing list of items of one size: laid out without asking every row.
    m_pGrid->setViewMode(QListView::ListMode);
    m_pGrid->setFlow(QListView::LeftToRight);
    m_pGrid->setWrapping(true);
    m_pGrid->setResizeMode(QListView::Adjust);
    m_pGrid->setUniformItemSizes(true);
    m_pGrid->setLayoutMode(QListView::Batched);
    m_pGrid->setIconSize(QSize(CThumbnailModel::kSide, CThumbnailModel::kSide));
    m_pGrid->setGridSize(CThumbnailModel::Cell());
    m_pGrid->setItemDelegate(new CGridDelegate(m_pGrid));
    m_pGrid->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pGrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pGrid->setTabKeyNavigation(false);
    m_pGrid->setStyleSheet("QListView{background: white;}");
    m_pGrid->installEventFilter(this);
    connect(m_pGrid->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &DRUI::tableItemSelectChanged);
    m_pFileStack->addWidget(m_pGrid);
    m_pFileStack->setMinimumSize(300, 90);
    return m_pFileStack;
}

// The views, the search field and the filters.
QHBoxLayout* DRUI::CreateToolRow() {
    auto* pTools = new QHBoxLayout;
    pTools->setSpacing(0);
    auto* pTreeButtons = new QButtonGroup(m_pPage3);
    m_pBtnTree[TREE_TYPES] = MakeToggle("By type", m_pPage3, pTreeButtons, TREE_TYPES);
    m_pBtnTree[TREE_FOLDERS] = MakeToggle("By folder", m_pPage3, pTreeButtons, TREE_FOLDERS);
    pTools->addWidget(m_pBtnTree[TREE_TYPES]);
    pTools->addWidget(m_pBtnTree[TREE_FOLDERS]);
    pTools->addSpacing(16);
    m_pSearch = new QLineEdit(m_pPage3);
    m_pSearch->setObjectName("Search");
    m_pSearch->setAccessibleName("Search");
    m_pSearch->setPlaceholderText("Search by name");
    m_pSearch->setClearButtonEnabled(true);
    m_pSearch->setMinimumWidth(140);
    m_pSearch->setProperty("typing", true);
    m_pSearch->installEventFilter(this);
    pTools->addWidget(m_pSearch, 1);
    pTools->addSpacing(6);
    m_pBtnFilters = new QPushButton("Filters", m_pPage3);
    m_pBtnFilters->setObjectName("Filters");
    m_pBtnFilters->setAccessibleName("Filters");
    m_pBtnFilters->setCheckable(true);
    m_pBtnFilters->setAutoDefault(false);
    pTools->addWidget(m_pBtnFilters);
    pTools->addSpacing(16);
    auto* pListButtons = new QButtonGroup(m_pPage3);
    m_pBtnList = MakeToggle("List", m_pPage3, pListButtons, 0);
    m_pBtnGrid = MakeToggle("Thumbnails", m_pPage3, pListButtons, 1);
    pTools->addWidget(m_pBtnList);
    pTools->addWidget(m_pBtnGrid);
    connect(pTreeButtons, &QButtonGroup::idClicked, this, &DRUI::ShowTree);
    connect(pListButtons, &QButtonGroup::idClicked, this,
            [this](int nId) { ShowThumbnails(nId == 1); });
    connect(m_pSearch, &QLineEdit::textChanged, this, &DRUI::FilterChanged);
    return pTools;
}

// How the files are laid out when recovered.
QHBoxLayout* DRUI::CreateRecoveryOptions() {
    auto* pOptions = new QHBoxLayout;
    pOptions->addWidget(MakeLabel("Recover into:", m_pPage3));
    m_pFolderOption = new QComboBox(m_pPage3);
    m_pFolderOption->setAccessibleName("Recover into");
    m_pFolderOption->addItems({"the original folders", "a folder per kind of file"});
    m_pFolderOption->setCurrentIndex(1);
    pOptions->addWidget(m_pFolderOption);
    pOptions->addSpacing(12);
    m_pKeepTimes = new QCheckBox("Restore modification times", m_pPage3);
    m_pKeepTimes->setAccessibleName("Restore modification times");
    m_pKeepTimes->setChecked(true);
    pOptions->addWidget(m_pKeepTimes);
    pOptions->addStretch(1);
    return pOptions;
}

QWidget* DRUI::CreateFilterPanel() {
    auto* pPanel = new QWidget(m_pPage3);
    pPanel->setObjectName("filters");
    auto* pGrid = new QGridLayout(pPanel);
    pGrid->setContentsMargins(0, 0, 0, 0);
    pGrid->setHorizontalSpacing(6);
    pGrid->setVerticalSpacing(4);
    auto MakeSize = [&](const QString& strName) {
        auto* pSpin = new QDoubleSpinBox(pPanel);
        pSpin->setAccessibleName(strName);
        pSpin->setRange(0, 1e9);
        pSpin->setDecimals(1);
        pSpin->setSpecialValueText("any");
        pSpin->setMinimumWidth(90);
        pSpin->setProperty("typing", true);
        pSpin->installEventFilter(this);
        connect(pSpin, &QDoubleSpinBox::valueChanged, this, &DRUI::FilterChanged);
        return pSpin;
    };
    m_pMinSize = MakeSize("Smallest size");
    m_pMaxSize = MakeSize("Largest size");
    m_pSizeUnit = new QComboBox(pPanel);
    m_pSizeUnit->setAccessibleName("Size unit");
    for (const char* szUnit : kSizeUnits) m_pSizeUnit->addItem(szUnit);
    m_pSizeUnit->setCurrentIndex(2);
    connect(m_pSizeUnit, &QComboBox::currentIndexChanged, this, &DRUI::FilterChanged);
    auto* pSizes = new QHBoxLayout;
    pSizes->setSpacing(6);
    pSizes->addWidget(MakeLabel("Size from", pPanel));
    pSizes->addWidget(m_pMinSize);
    pSizes->addWidget(MakeLabel("to", pPanel));
    pSizes->addWidget(m_pMaxSize);
    pSizes->addWidget(m_pSizeUnit);
    pSizes->addSpacing(16);
    m_pGoodOnly = new QCheckBox("Show only files in good condition", pPanel);
    m_pGoodOnly->setAccessibleName("Show only files in good condition");
    connect(m_pGoodOnly, &QCheckBox::toggled, this, &DRUI::FilterChanged);
    pSizes->addWidget(m_pGoodOnly);
    pSizes->addStretch(1);
    pGrid->addLayout(pSizes, 0, 0);

    auto* pDates = new QHBoxLayout;
    pDates->setSpacing(6);
    m_pDates = new QCheckBox("Modified from", pPanel);
    m_pDates->setAccessibleName("Modified between");
    auto MakeDate = [&](const QString& strName, const QDate& date) {
        auto* pDate = new QDateEdit(date, pPanel);
        pDate->setAccessibleName(strName);
        pDate->setDisplayFormat("yyyy-MM-dd");
        pDate->setCalendarPopup(true);
        pDate->setEnabled(false);
        pDate->setProperty("typing", true);
        pDate->installEventFilter(this);
        connect(m_pDates, &QCheckBox::toggled, pDate, &QWidget::setEnabled);
        connect(pDate, &QDateEdit::dateChanged, this, &DRUI::FilterChanged);
        return pDate;
    };
    m_pDateFrom = MakeDate("Modified from", QDate(1980, 1, 1));
    m_pDateTo = MakeDate("Modified until", QDate::currentDate());
    connect(m_pDates, &QCheckBox::toggled, this, &DRUI::FilterChanged);
    pDates->addWidget(m_pDates);
    pDates->addWidget(m_pDateFrom);
    pDates->addWidget(MakeLabel("to", pPanel));
    pDates->addWidget(m_pDateTo);
    pDates->addStretch(1);
    pGrid->addLayout(pDates, 1, 0);
    pPanel->setVisible(false);
    return pPanel;
}

QWidget* DRUI::CreatePreviewArea() {
    auto* pArea = new QWidget(m_pPage3);
    auto* pLayout = new QVBoxLayout(pArea);
    pLayout->setContentsMargins(0, 0, 0, 0);
    pLayout->setSpacing(2);
    m_pPreviewCaption = new QLabel(pArea);
    m_pPreviewCaption->setObjectName("previewCaption");
    m_pPreviewCaption->setStyleSheet("font: 11px Arial; color: rgb(90, 100, 115);");
    pLayout->addWidget(m_pPreviewCaption);
    m_pPreviewStack = new QStackedWidget(pArea);
    m_pPreviewStack->setAccessibleName("Preview");
    m_pPreviewStack->setMinimumSize(200, 90);

    m_pPreview = new CPictureView(pArea);
    m_pPreview->setObjectName("preview");
    m_pPreview->setAccessibleName("Preview");
    m_pPreviewStack->addWidget(m_pPreview);

    m_pPreviewText = new QPlainTextEdit(pArea);
    m_pPreviewText->setObjectName("previewText");
    m_pPreviewText->setAccessibleName("Preview text");
    m_pPreviewText->setReadOnly(true);
    m_pPreviewText->setTabChangesFocus(true);
    m_pPreviewText->setStyleSheet("QPlainTextEdit{background: white; color: rgb(40, 45, 55);}");
    m_pPreviewStack->addWidget(m_pPreviewText);

    m_pPreviewMessage = new QLabel(pArea);
    m_pPreviewMessage->setObjectName("previewMessage");
    m_pPreviewMessage->setAlignment(Qt::AlignCenter);
    m_pPreviewMessage->setWordWrap(true);
    m_pPreviewMessage->setStyleSheet("background: white; color: rgb(90, 100, 115);");
    m_pPreviewStack->addWidget(m_pPreviewMessage);
    m_pPreviewStack->setCurrentWidget(m_pPreviewMessage);
    pLayout->addWidget(m_pPreviewStack);

    m_pPreviewTimer = new QTimer(pArea);
    m_pPreviewTimer->setSingleShot(true);
    m_pPreviewTimer->setInterval(500);
    connect(m_pPreviewTimer, &QTimer::timeout, this, &DRUI::PreviewTakesLong);
    return m_pPreviewArea = pArea;
}

void DRUI::ShowTree(int nTree) {
    m_nTree = nTree == TREE_FOLDERS ? TREE_FOLDERS : TREE_TYPES;
    m_pBtnTree[m_nTree]->setChecked(true);
    m_pTreeStack->setCurrentIndex(m_nTree);
    // Recovered from the folder view, files keep their folders by default.
    m_pFolderOption->setCurrentIndex(m_nTree == TREE_FOLDERS ? 0 : 1);
    QTreeView* pTree = m_pTrees[m_nTree];
    // The folder view opens on the volume's top folder.
    if (!pTree->currentIndex().isValid() && m_nTree == TREE_FOLDERS)
        pTree->setCurrentIndex(m_pGroupModels[m_nTree]->index(0, 0));
    else
        UpdateTreeInfo(pTree->currentIndex(), 0);
}

void DRUI::ShowThumbnails(bool bThumbnails) {
    (bThumbnails ? m_pBtnGrid : m_pBtnList)->setChecked(true);
    QAbstractItemView* pFrom =
        bThumbnails ? static_cast<QAbstractItemView*>(m_pFileTable) : m_pGrid;
    QAbstractItemView* pTo = bThumbnails ? static_cast<QAbstractItemView*>(m_pGrid) : m_pFileTable;
    m_pFileStack->setCurrentWidget(pTo);
    // The list leaves most of the height to itself and a strip to the
    // preview; the thumbnails take the whole height, the preview beside them.
    m_pFilesAndPreview->setDirection(bThumbnails ? QBoxLayout::LeftToRight
                                                 : QBoxLayout::TopToBottom);
    m_pFilesAndPreview->setStretchFactor(m_pFileStack, bThumbnails ? 5 : 1);
    m_pFilesAndPreview->setStretchFactor(m_pPreviewArea, bThumbnails ? 2 : 0);
    m_pPreviewStack->setMaximumHeight(bThumbnails ? QWIDGETSIZE_MAX : kPreviewHeight + 4);
    // The file picked stays picked.
    const int nRow = pFrom->currentIndex().row();
    if (nRow >= 0) pTo->setCurrentIndex(pTo->model()->index(nRow, COL_NAME));
}

void DRUI::treeItemSelectChanged() {
    UpdateTreeInfo(m_pTrees[m_nTree]->currentIndex(), 0);
}

void DRUI::UpdateTreeInfo(const QModelIndex& index, int /*nColumn*/) {
    const int nGroup = m_pGroupModels[m_nTree]->GroupOf(index);
    m_pWorker->DropThumbnails();
    m_pThumbModel->ForgetPending();
    m_pFileModel->SetFiles(index.isValid() ? m_pResults->ShownFilesIn(m_nTree, nGroup)
                                           : std::vector<int>());
    // The list's first file is previewed; an empty list previews nothing.
    QAbstractItemView* pView = static_cast<QAbstractItemView*>(m_pFileStack->currentWidget());
    if (m_pFileModel->rowCount() > 0)
        pView->setCurrentIndex(pView->model()->index(0, COL_NAME));
    else
        tableItemClick(QModelIndex());
}

void DRUI::tableItemSelectChanged() {
    auto* pView = static_cast<QAbstractItemView*>(m_pFileStack->currentWidget());
    tableItemClick(pView->currentIndex());
}

void DRUI::tableItemClick(const QModelIndex& index) {
    const int nFile = index.isValid() ? m_pFileModel->FileAt(index.row()) : -1;
    if (nFile == m_nPreviewFile) return;
    m_nPreviewFile = nFile;
    ++m_nPreviewSerial;
    m_pPreviewTimer->stop();
    if (nFile < 0) {
        ShowPreview({PREVIEW_RESULT::KIND_MESSAGE, QImage(), "Pick a file to preview it.", ""});
        return;
    }
    const _FILE_NODE_& node = m_pResults->Hit(nFile);
    m_strCurrentFileName = m_pResults->File(nFile).strName;
    m_bStop[OP_PREVIEW] = false;
    m_bDone[OP_PREVIEW] = false;
    m_pWorker->RequestPreview(m_nPreviewSerial, node);
    // No dialog for a preview that is quick; what is shown meanwhile says so.
    ShowPreview({PREVIEW_RESULT::KIND_MESSAGE, QImage(),
                 QString("Reading %1...").arg(m_strCurrentFileName), ""});
    m_pPreviewTimer->start();
}

void DRUI::PreviewTakesLong() {
    if (IsJobDone(OP_PREVIEW) || !m_pWorker) return;
    SCANUI dialog(this);
    dialog.InitSlot(this, OP_PREVIEW);
    dialog.move(frameGeometry().topLeft() + QPoint(width() / 4, height() / 4));
    dialog.exec();
}

void DRUI::PreviewArrived(quint64 nSerial, PREVIEW_RESULT result) {
    // A preview of a file no longer picked is not shown.
    if (nSerial != m_nPreviewSerial) return;
    m_pPreviewTimer->stop();
    ShowPreview(result);
    emit m_jobReports.JobEnded(OP_PREVIEW);
}

void DRUI::ShowPreview(const PREVIEW_RESULT& result) {
    m_pPreviewCaption->setText(result.strCaption);
    switch (result.nKind) {
        case PREVIEW_RESULT::KIND_PICTURE:
            m_pPreview->SetPicture(result.image);
            m_pPreviewStack->setCurrentWidget(m_pPreview);
            break;
        case PREVIEW_RESULT::KIND_TEXT:
        case PREVIEW_RESULT::KIND_HEX:
            m_pPreviewText->setFont(result.nKind == PREVIEW_RESULT::KIND_HEX ? QFont("Monospace", 9)
                                                                             : QFont("Arial", 10));
            m_pPreviewText->setLineWrapMode(result.nKind == PREVIEW_RESULT::KIND_HEX
                                                ? QPlainTextEdit::NoWrap
                                                : QPlainTextEdit::WidgetWidth);
            m_pPreviewText->setPlainText(result.strText);
            m_pPreviewStack->setCurrentWidget(m_pPreviewText);
            break;
        default:
            m_pPreview->SetPicture(QImage());
            m_pPreviewMessage->setText(result.strText);
            m_pPreviewStack->setCurrentWidget(m_pPreviewMessage);
            break;
    }
}

void DRUI::ThumbnailWanted(int nFile) {
    if (m_pWorker) m_pWorker->RequestThumbnail(nFile, m_pResults->Hit(nFile));
}

void DRUI::ThumbnailArrived(int nFile, QImage image) {
    if (m_pThumbModel) m_pThumbModel->SetThumbnail(nFile, image);
}

void DRUI::StopPreviewWorker() {
    if (m_pPreviewTimer) m_pPreviewTimer->stop();
    if (m_pWorker) m_pWorker->Stop();
    m_pWorker.reset();
}

void DRUI::TicksChanged() {
    RefreshTicks();
}

void DRUI::RefreshTicks() {
    for (CGroupModel* pModel : m_pGroupModels) pModel->Refresh();
    m_pFileModel->RefreshTicks();
    UpdateSummary();
}

void DRUI::FilterChanged() {
    RESULT_FILTER filter;
    filter.strName = m_pSearch->text().trimmed();
    const double dUnit = static_cast<double>(1ULL << (10 * m_pSizeUnit->currentIndex()));
    if (m_pMinSize->value() > 0)
        filter.u64MinSize = static_cast<uint64_t>(m_pMinSize->value() * dUnit);
    if (m_pMaxSize->value() > 0)
        filter.u64MaxSize = static_cast<uint64_t>(m_pMaxSize->value() * dUnit);
    filter.bDates = m_pDates->isChecked();
    filter.llFrom = m_pDateFrom->date().startOfDay().toSecsSinceEpoch();
    filter.llTo = m_pDateTo->date().endOfDay().toSecsSinceEpoch();
    filter.bGoodOnly = m_pGoodOnly->isChecked();
    m_pResults->SetFilter(filter);
    // The trees show only groups with files left; what was open and picked
    // stays so while it is shown.
    for (RESULT_TREE nTree : {TREE_TYPES, TREE_FOLDERS}) {
        QTreeView* pTree = m_pTrees[nTree];
        CGroupModel* pModel = m_pGroupModels[nTree];
        const std::vector<RESULT_GROUP>& groups = m_pResults->Groups(nTree);
        const int nCurrent = pModel->GroupOf(pTree->currentIndex());
        std::vector<int> vecOpen;
        for (QModelIndex index = pModel->index(0, 0); index.isValid();
             index = pTree->indexBelow(index))
            if (pTree->isExpanded(index)) vecOpen.push_back(pModel->GroupOf(index));
        const QSignalBlocker block(pTree->selectionModel());
        pModel->Rebuild();
        for (int nGroup : vecOpen)
            if (groups[static_cast<size_t>(nGroup)].nShown > 0)
                pTree->expand(pModel->IndexOf(nGroup));
        if (nCurrent > 0 && groups[static_cast<size_t>(nCurrent)].nShown > 0)
            pTree->selectionModel()->setCurrentIndex(pModel->IndexOf(nCurrent),
                                                     QItemSelectionModel::ClearAndSelect);
    }
    // The list shown follows; the file previewed stays picked while it is shown.
    const int nFile = m_nPreviewFile;
    const QModelIndex group = m_pTrees[m_nTree]->currentIndex();
    m_pFileModel->SetFiles(
        group.isValid() ? m_pResults->ShownFilesIn(m_nTree, m_pGroupModels[m_nTree]->GroupOf(group))
                        : std::vector<int>());
    auto* pView = static_cast<QAbstractItemView*>(m_pFileStack->currentWidget());
    const int nRow = m_pFileModel->RowOf(nFile);
    if (nRow >= 0)
        pView->setCurrentIndex(pView->model()->index(nRow, COL_NAME));
    else if (m_pFileModel->rowCount() > 0)
        pView->setCurrentIndex(pView->model()->index(0, COL_NAME));
    else
        tableItemClick(QModelIndex());
    UpdateSummary();
}

void DRUI::UpdateSummary() {
    const size_t nFiles = m_pResults ? m_pResults->TickedCount() : 0;
    const uint64_t u64Total = m_pResults ? m_pResults->TickedBytes() : 0;
    m_pSummary->setText(QString("Select %1 in %2 %3")
                            .arg(QString::fromStdString(FormatSize(u64Total)))
                            .arg(nFiles)
                            .arg(nFiles == 1 ? "file" : "files"));
    SetActionButtonEnabled(m_pBtnRecover, nFiles > 0);
}

bool DRUI::eventFilter(QObject* pWatched, QEvent* pEvent) {
    // Return in the search field or a filter ends the typing, nothing more:
    // it does not reach the window, where it would start a recovery.
    if (pEvent->type() == QEvent::KeyPress && pWatched->property("typing").toBool()) {
        const int nKey = static_cast<QKeyEvent*>(pEvent)->key();
        if (nKey == Qt::Key_Return || nKey == Qt::Key_Enter) return true;
    }
    // Space ticks the file picked, whichever of its cells has the focus.
    if (pEvent->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(pEvent)->key() == Qt::Key_Space &&
        (pWatched == m_pFileTable || pWatched == m_pGrid) && m_pFileModel) {
        auto* pView = static_cast<QAbstractItemView*>(pWatched);
        const QModelIndex current = pView->currentIndex();
        if (current.isValid()) {
            const QModelIndex name = m_pFileModel->index(current.row(), COL_NAME);
            m_pFileModel->setData(name,
                                  m_pResults->IsTicked(m_pFileModel->FileAt(current.row()))
                                      ? Qt::Unchecked
                                      : Qt::Checked,
                                  Qt::CheckStateRole);
        }
        return true;
    }
    return QMainWindow::eventFilter(pWatched, pEvent);
}
