// Page 3, the result browser: the found files in a tree by kind and
// extension, the table of one extension, the preview, and the selection that
// "Recover" saves.
#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QStackedLayout>
#include <QTableWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <cstring>
#include <strings.h>

#include "common/Helpers.h"
#include "common/MediumSource.h"
#include "deepscan/ProfessionalRecovery.h"
#include "engine/Categories.h"
#include "ui/DRUI.h"
#include "ui/PreviewDecoder.h"
#include "ui/ScanUI.h"
#include "ui/TextCodec.h"
#include "ui/UiStyle.h"

namespace {

enum { CAT_PHOTO, CAT_MUSIC, CAT_OFFICE, CAT_VIDEO, CAT_ARCHIVE, CAT_OTHER };
const char* const kCategoryNames[6] = {"Photo", "Music", "Office", "Video", "Archive", "Other"};
// Tree items carry what they show: the category, and the extension key of an
// extension item (none for a category item).
constexpr int kRoleCategory = Qt::UserRole;
constexpr int kRoleExtension = Qt::UserRole + 1;

// The first of the lists (photo, music, document, video, archive, combined)
// that holds "." + extension anywhere, or -1; so ".ra" is found inside ".raw"
// of the photo list. The extension is lower case, without the dot.
int FirstListOf(const QString& strExt) {
    const QByteArray probe = ("." + strExt).toUtf8();
    if (probe.size() < 3) return -1;
    const char* const kLists[] = {szPictureTypeList, szMusicTypeList,   szDocumentTypeList,
                                  szVideoTypeList,   szArchiveTypeList, szDocumentArchiveTypeList};
    for (int i = 0; i < 6; ++i)
        if (std::strstr(kLists[i], probe.constData())) return i;
    return -1;
}

int BrowserCategoryOf(const QString& strExt) {
    const int nList = FirstListOf(strExt);
    return nList < 0 ? CAT_OTHER : nList == 5 ? CAT_ARCHIVE : nList;
}

uint64_t SelectionKey(const _FILE_NODE_& node) {
    return (static_cast<uint64_t>(node.nFileIndex) << 32) | node.nDirId;
}

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
        const int nList = FirstListOf(strName.toLower());
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

void DRUI::InitLayout3Widget() {
    if (m_pPage3) {
        m_pStackedLayout->removeWidget(m_pPage3);
        m_pPage3->deleteLater();
    }
    // The records of an earlier scan belong to an engine that is gone.
    m_mapSelected.clear();
    m_pRememberedItem = nullptr;
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

    auto* pMiddle = new QHBoxLayout;
    pMiddle->setSpacing(10);
    m_pTypeTree = CreateTree();
    pMiddle->addWidget(m_pTypeTree);
    auto* pRight = new QVBoxLayout;
    m_pFileTable = CreateTable();
    pRight->addWidget(m_pFileTable, 1);
    m_pPreview = new QLabel(m_pPage3);
    m_pPreview->setObjectName("preview");
    m_pPreview->setAccessibleName("Preview");
    m_pPreview->setStyleSheet("background: white; color: rgb(40, 45, 55);");
    auto* pScroll = new QScrollArea(m_pPage3);
    pScroll->setWidget(m_pPreview);
    pScroll->setWidgetResizable(true);
    pScroll->setMinimumSize(300, 120);
    pScroll->setMaximumHeight(kPreviewHeight + 4);
    pRight->addWidget(pScroll);
    pMiddle->addLayout(pRight, 1);
    pLayout->addLayout(pMiddle, 1);

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
}

QTreeWidget* DRUI::CreateTree() {
    auto* pTree = new QTreeWidget(m_pPage3);
    pTree->setObjectName("Types");
    pTree->setAccessibleName("Types");
    pTree->setColumnCount(1);
    pTree->setHeaderLabels({"Kinds of files found"});
    pTree->setStyleSheet("QTreeWidget{background: white;}");
    for (auto& map : m_mapCategory) map.clear();
    int nCounts[6] = {};
    char szExt[256];
    for (const __SEARCH_FILE_INFO__& hit : m_vecSearchResults) {
        QString strKey;
        int nCategory = CAT_OTHER;
        if (GetExtendName(hit.szFileName, szExt) != 0) {
            if (!hit.szFileName[0]) continue;
            strKey = "unKnow";
        } else {
            strKey = NarrowToQString(szExt).toLower();
            nCategory = BrowserCategoryOf(strKey);
        }
        m_mapCategory[nCategory][strKey].push_back(hit);
        ++nCounts[nCategory];
    }
    for (int i = 0; i < 6; ++i) {
        if (nCounts[i] == 0) continue;
        auto* pCategory = new QTreeWidgetItem(pTree);
        pCategory->setText(0, QString("%1(%2)").arg(kCategoryNames[i]).arg(nCounts[i]));
        pCategory->setData(0, kRoleCategory, i);
        pCategory->setCheckState(0, Qt::Unchecked);
        pCategory->setFont(0, QFont("Arial", 11, QFont::Bold));
        for (const auto& entry : m_mapCategory[i]) {
            auto* pExt = new QTreeWidgetItem(pCategory);
            pExt->setText(0, QString("%1 Files (%2)").arg(entry.first).arg(entry.second.size()));
            pExt->setIcon(0, QIcon(GetExtendNameIcon(entry.first)));
            pExt->setData(0, kRoleCategory, i);
            pExt->setData(0, kRoleExtension, entry.first);
            pExt->setCheckState(0, Qt::Unchecked);
        }
    }
    connect(pTree, &QTreeWidget::itemSelectionChanged, this, &DRUI::treeItemSelectChanged);
    connect(pTree, &QTreeWidget::itemClicked, this, &DRUI::treeItemClick);
    // A tick by the mouse or by Space.
    connect(pTree, &QTreeWidget::itemChanged, this, &DRUI::treeItemChanged);
    pTree->setItemsExpandable(true);
    pTree->expandAll();
    pTree->setMinimumSize(200, 150);
    pTree->setMaximumWidth(250);
    return pTree;
}

QTableWidget* DRUI::CreateTable() {
    auto* pTable = new QTableWidget(0, 2, m_pPage3);
    pTable->setObjectName("Files");
    pTable->setAccessibleName("Files");
    pTable->setHorizontalHeaderLabels({"Name", "Size"});
    // The name takes the room the window gives; the size keeps what it needs.
    pTable->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    pTable->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    pTable->setColumnWidth(1, 120);
    pTable->verticalHeader()->setVisible(false);
    pTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    pTable->setSelectionMode(QAbstractItemView::SingleSelection);
    pTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    pTable->setMinimumSize(300, 100);
    // Tab moves on to the next control instead of from cell to cell.
    pTable->setTabKeyNavigation(false);
    pTable->setStyleSheet("QTableWidget{background: white;}");
    connect(pTable, &QTableWidget::cellClicked, this, &DRUI::tableItemPress);
    connect(pTable, &QTableWidget::itemChanged, this, &DRUI::tableItemChanged);
    connect(pTable, &QTableWidget::itemSelectionChanged, this, &DRUI::tableItemSelectChanged);
    return pTable;
}

void DRUI::SelectFile(const _FILE_NODE_& node, bool bSelected) {
    if (bSelected)
        m_mapSelected[SelectionKey(node)] = node;
    else
        m_mapSelected.erase(SelectionKey(node));
}

void DRUI::treeItemSelectChanged() {
    const QList<QTreeWidgetItem*> selected = m_pTypeTree->selectedItems();
    if (selected.isEmpty()) return;
    m_pRememberedItem = selected.first();
    UpdateTreeInfo(m_pRememberedItem, 0);
}

void DRUI::treeItemClick(QTreeWidgetItem* pItem, int /*nColumn*/) {
    if (pItem == m_pRememberedItem) treeItemSelectChanged();
    m_pTypeTree->setCurrentItem(pItem);
}

void DRUI::UpdateTreeInfo(QTreeWidgetItem* pItem, int /*nColumn*/) {
    m_pFileTable->setRowCount(0);
    if (!pItem) return;
    const int nCategory = pItem->data(0, kRoleCategory).toInt();
    const bool bExtension = pItem->parent() != nullptr;
    const std::vector<__SEARCH_FILE_INFO__>* pFiles = nullptr;
    if (bExtension) {
        auto it = m_mapCategory[nCategory].find(pItem->data(0, kRoleExtension).toString());
        if (it != m_mapCategory[nCategory].end()) pFiles = &it->second;
    }
    if (pFiles) {
        const QIcon icon(GetExtendNameIcon(pItem->data(0, kRoleExtension).toString()));
        m_pFileTable->blockSignals(true);
        for (const __SEARCH_FILE_INFO__& file : *pFiles) {
            const int nRow = m_pFileTable->rowCount();
            m_pFileTable->insertRow(nRow);
            const QVariant node = QVariant::fromValue(static_cast<_FILE_NODE_>(file));
            auto* pName = new QTableWidgetItem(icon, NameToQString(file.szFileName));
            pName->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
            pName->setCheckState(Qt::Unchecked);
            pName->setData(Qt::UserRole, node);
            auto* pSize =
                new QTableWidgetItem(QString::fromStdString(FormatSize(file.u64FileSize)));
            pSize->setData(Qt::UserRole, node);
            m_pFileTable->setItem(nRow, 0, pName);
            m_pFileTable->setItem(nRow, 1, pSize);
            m_pFileTable->setRowHeight(nRow, 22);
        }
        m_pFileTable->blockSignals(false);
    }
    if (pItem->checkState(0) == Qt::PartiallyChecked) {
        const QSignalBlocker block(m_pFileTable);
        for (int nRow = 0; nRow < m_pFileTable->rowCount(); ++nRow) {
            QTableWidgetItem* pName = m_pFileTable->item(nRow, 0);
            const bool bIn =
                m_mapSelected.count(SelectionKey(pName->data(Qt::UserRole).value<_FILE_NODE_>()));
            pName->setCheckState(bIn ? Qt::Checked : Qt::Unchecked);
        }
    } else {
        ApplyTreeCheck(pItem);
    }
    UpdateSummary();
    // Showing an extension previews its first file.
    if (m_pFileTable->rowCount() > 0) tableItemClick(m_pFileTable->item(0, 0));
}

void DRUI::MarkCheck(QTreeWidgetItem* pItem, Qt::CheckState nState) {
    // Item views tell a screen reader "checked" or not; a partial tick is said
    // in the description.
    const QSignalBlocker block(m_pTypeTree);
    pItem->setCheckState(0, nState);
    pItem->setData(0, Qt::AccessibleDescriptionRole,
                   nState == Qt::PartiallyChecked ? QVariant("partly ticked") : QVariant());
}

void DRUI::ApplyTreeCheck(QTreeWidgetItem* pItem) {
    const bool bChecked = pItem->checkState(0) == Qt::Checked;
    MarkCheck(pItem, pItem->checkState(0));
    const int nCategory = pItem->data(0, kRoleCategory).toInt();
    {
        const QSignalBlocker block(m_pTypeTree);
        SetTreeChildCheckState(pItem, bChecked ? 1 : 0);
        SetTreeParentCheckState(pItem);
    }
    if (pItem->parent()) {
        auto it = m_mapCategory[nCategory].find(pItem->data(0, kRoleExtension).toString());
        if (it != m_mapCategory[nCategory].end())
            for (const __SEARCH_FILE_INFO__& file : it->second) SelectFile(file, bChecked);
    } else {
        for (const auto& entry : m_mapCategory[nCategory])
            for (const __SEARCH_FILE_INFO__& file : entry.second) SelectFile(file, bChecked);
    }
    // The rows shown follow when they belong to the item.
    if (m_pRememberedItem == pItem || (m_pRememberedItem && m_pRememberedItem->parent() == pItem)) {
        const QSignalBlocker block(m_pFileTable);
        for (int nRow = 0; nRow < m_pFileTable->rowCount(); ++nRow)
            m_pFileTable->item(nRow, 0)->setCheckState(bChecked ? Qt::Checked : Qt::Unchecked);
    }
    UpdateSummary();
}

void DRUI::treeItemChanged(QTreeWidgetItem* pItem, int nColumn) {
    if (pItem && nColumn == 0) ApplyTreeCheck(pItem);
}

void DRUI::SetTreeChildCheckState(QTreeWidgetItem* pItem, int nState) {
    for (int i = 0; i < pItem->childCount(); ++i) {
        QTreeWidgetItem* pChild = pItem->child(i);
        MarkCheck(pChild, nState ? Qt::Checked : Qt::Unchecked);
        SetTreeChildCheckState(pChild, nState);
    }
}

void DRUI::SetTreeParentCheckState(QTreeWidgetItem* pItem) {
    QTreeWidgetItem* pParent = pItem ? pItem->parent() : nullptr;
    if (!pParent) return;
    int nChecked = 0, nUnchecked = 0;
    for (int i = 0; i < pParent->childCount(); ++i) {
        const Qt::CheckState state = pParent->child(i)->checkState(0);
        nChecked += state == Qt::Checked;
        nUnchecked += state == Qt::Unchecked;
    }
    const int nAll = pParent->childCount();
    MarkCheck(pParent, nChecked == nAll     ? Qt::Checked
                       : nUnchecked == nAll ? Qt::Unchecked
                                            : Qt::PartiallyChecked);
}

void DRUI::tableItemPress(int nRow, int nColumn) {
    if (nColumn == 0) SyncRowCheck(nRow);
    UpdateSummary();
}

void DRUI::tableItemChanged(QTableWidgetItem* pItem) {
    if (!pItem || pItem->column() != 0) return;
    SyncRowCheck(pItem->row());
    UpdateSummary();
}

void DRUI::SyncRowCheck(int nRow) {
    QTableWidgetItem* pName = m_pFileTable->item(nRow, 0);
    if (!pName || !m_pRememberedItem) return;
    SelectFile(pName->data(Qt::UserRole).value<_FILE_NODE_>(), pName->checkState() == Qt::Checked);
    int nCheckedRows = 0;
    for (int i = 0; i < m_pFileTable->rowCount(); ++i)
        nCheckedRows += m_pFileTable->item(i, 0)->checkState() == Qt::Checked;
    const QSignalBlocker block(m_pTypeTree);
    MarkCheck(m_pRememberedItem, nCheckedRows == m_pFileTable->rowCount() ? Qt::Checked
                                 : nCheckedRows == 0                      ? Qt::Unchecked
                                                                          : Qt::PartiallyChecked);
    SetTreeParentCheckState(m_pRememberedItem);
}

void DRUI::UpdateSummary() {
    unsigned long long u64Total = 0;
    for (const auto& entry : m_mapSelected) u64Total = AddSizes(u64Total, entry.second.u64FileSize);
    const int nFiles = static_cast<int>(m_mapSelected.size());
    m_pSummary->setText(QString("Select %1 in %2 %3")
                            .arg(QString::fromStdString(FormatSize(u64Total)))
                            .arg(nFiles)
                            .arg(nFiles == 1 ? "file" : "files"));
    SetActionButtonEnabled(m_pBtnRecover, nFiles > 0);
}

void DRUI::tableItemSelectChanged() {
    const QList<QTableWidgetItem*> selected = m_pFileTable->selectedItems();
    if (!selected.isEmpty()) tableItemClick(selected.first());
}

void DRUI::tableItemClick(QTableWidgetItem* pItem) {
    _FILE_NODE_ node{};
    if (pItem && pItem->data(Qt::UserRole).canConvert<_FILE_NODE_>())
        node = pItem->data(Qt::UserRole).value<_FILE_NODE_>();
    m_strCurrentFileName = NameToQString(node.szFileName);
    m_previewNode = node;
    {
        SCANUI dialog(this);
        dialog.InitSlot(this, OP_PREVIEW);
        dialog.move(frameGeometry().topLeft() + QPoint(width() / 4, height() / 4));
        RunJob(dialog, &DRUI::_PreviewProcess, OP_PREVIEW);
    }
    if (m_wszPreviewPath[0]) {
        const QString strFile = QString::fromWCharArray(m_wszPreviewPath);
        QImage image;
        if (QFile::exists(strFile) && DecodePictureGuarded(m_strDecoder, strFile, image)) {
            m_pPreview->setFont(QFont());
            m_pPreview->setAlignment(Qt::AlignCenter);
            m_pPreview->setPixmap(QPixmap::fromImage(image));
        }
        return;
    }
    WinHexBufData(&m_previewNode, m_pPreviewBuf.get(), m_nPreviewSize);
}

void DRUI::WinHexBufData(_FILE_NODE_* /*pNode*/, unsigned char* pData, int nLength) {
    char* pOut = m_pTextBuf.get();
    int nAt = 0;
    nLength = qBound(0, nLength, kPreviewBytes);
    for (int i = 0; i < nLength; ++i) {
        pOut[nAt++] = pData[i] ? static_cast<char>(pData[i]) : '.';
        if ((i + 1) % 256 == 0) {
            pOut[nAt++] = '\r';
            pOut[nAt++] = '\n';
        }
    }
    if (nAt < 2 || pOut[nAt - 1] != '\n') {
        pOut[nAt++] = '\r';
        pOut[nAt++] = '\n';
    }
    pOut[nAt] = 0;
    m_pPreview->setPixmap(QPixmap());
    m_pPreview->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_pPreview->setFont(QFont("Arial", 11));
    m_pPreview->setText(NarrowToQString(pOut));
}
