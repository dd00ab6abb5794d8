#include "ui/ResultModels.h"

#include <QApplication>
#include <QDateTime>
#include <QFont>
#include <QStyle>

#include <algorithm>
#include <cstring>

#include "carving/FileTypeJudge.h"
#include "common/Helpers.h"
#include "engine/NodeInfo.h"
#include "ui/DRUI.h"

namespace {

const std::vector<RESULT_GROUP>& GroupsOf(const CResultSet& set, RESULT_TREE nTree) {
    return set.Groups(nTree);
}

QString SizeText(uint64_t u64Bytes) {
    return QString::fromStdString(FormatSize(u64Bytes));
}

}  // namespace

QIcon ExtensionIcon(const QString& strExt) {
    static QHash<QString, QIcon> icons;
    auto it = icons.find(strExt);
    if (it == icons.end()) it = icons.insert(strExt, QIcon(DRUI::GetExtendNameIcon(strExt)));
    return *it;
}

QString StateWord(int nState) {
    return nState == NODE_STATE_CARVED ? "found by signature"
           : nState == NODE_STATE_LOST ? "lost"
                                       : "deleted";
}

QString ConditionWord(int nCondition) {
    return nCondition == NODE_CONDITION_GOOD      ? "good"
           : nCondition == NODE_CONDITION_DAMAGED ? "damaged"
                                                  : "unknown";
}

// ---- The trees ----------------------------------------------------------

CGroupModel::CGroupModel(CResultSet& set, RESULT_TREE nTree, QObject* pParent)
    : QAbstractItemModel(pParent), m_set(set), m_nTree(nTree) {}

int CGroupModel::GroupOf(const QModelIndex& index) const {
    return index.isValid() ? static_cast<int>(index.internalId()) : 0;
}

QModelIndex CGroupModel::IndexOf(int nGroup) const {
    if (nGroup <= 0) return {};
    return createIndex(GroupsOf(m_set, m_nTree)[static_cast<size_t>(nGroup)].nRow, 0,
                       static_cast<quintptr>(nGroup));
}

QModelIndex CGroupModel::index(int nRow, int nColumn, const QModelIndex& parent) const {
    if (nColumn != 0 || nRow < 0) return {};
    const RESULT_GROUP& group = GroupsOf(m_set, m_nTree)[static_cast<size_t>(GroupOf(parent))];
    if (static_cast<size_t>(nRow) >= group.vecShownChildren.size()) return {};
    return createIndex(nRow, 0,
                       static_cast<quintptr>(group.vecShownChildren[static_cast<size_t>(nRow)]));
}

QModelIndex CGroupModel::parent(const QModelIndex& child) const {
    if (!child.isValid()) return {};
    return IndexOf(GroupsOf(m_set, m_nTree)[static_cast<size_t>(GroupOf(child))].nParent);
}

int CGroupModel::rowCount(const QModelIndex& parent) const {
    if (parent.column() > 0) return 0;
    return static_cast<int>(
        GroupsOf(m_set, m_nTree)[static_cast<size_t>(GroupOf(parent))].vecShownChildren.size());
}

int CGroupModel::columnCount(const QModelIndex&) const {
    return 1;
}

QVariant CGroupModel::data(const QModelIndex& index, int nRole) const {
    if (!index.isValid()) return {};
    const int nGroup = GroupOf(index);
    const RESULT_GROUP& group = GroupsOf(m_set, m_nTree)[static_cast<size_t>(nGroup)];
    switch (nRole) {
        case Qt::DisplayRole:
            return m_set.GroupLabel(m_nTree, nGroup);
        case Qt::CheckStateRole:
            return m_set.GroupCheckState(m_nTree, nGroup);
        // Item views tell a screen reader "checked" or not; a partial tick is
        // said in the description.
        case Qt::AccessibleDescriptionRole:
            return m_set.GroupCheckState(m_nTree, nGroup) == Qt::PartiallyChecked
                       ? QVariant("partly ticked")
                       : QVariant();
        case Qt::DecorationRole:
            if (m_nTree == TREE_FOLDERS)
                return QApplication::style()->standardIcon(QStyle::SP_DirIcon);
            if (group.nParent > 0) return ExtensionIcon(group.strName);
            return {};
        case Qt::FontRole:
            if (m_nTree == TREE_TYPES && group.nParent == 0) return QFont("Arial", 11, QFont::Bold);
            return {};
        default:
            return {};
    }
}

bool CGroupModel::setData(const QModelIndex& index, const QVariant& value, int nRole) {
    if (!index.isValid() || nRole != Qt::CheckStateRole) return false;
    m_set.TickGroup(m_nTree, GroupOf(index),
                    static_cast<Qt::CheckState>(value.toInt()) == Qt::Checked);
    emit Ticked();
    return true;
}

Qt::ItemFlags CGroupModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable;
}

QVariant CGroupModel::headerData(int nSection, Qt::Orientation orientation, int nRole) const {
    if (nSection != 0 || orientation != Qt::Horizontal || nRole != Qt::DisplayRole) return {};
    return m_nTree == TREE_TYPES ? "Kinds of files found" : "Folders";
}

void CGroupModel::Refresh() {
    const std::vector<RESULT_GROUP>& groups = GroupsOf(m_set, m_nTree);
    for (const RESULT_GROUP& group : groups) {
        if (group.vecShownChildren.empty()) continue;
        emit dataChanged(IndexOf(group.vecShownChildren.front()),
                         IndexOf(group.vecShownChildren.back()));
    }
}

void CGroupModel::Rebuild() {
    beginResetModel();
    endResetModel();
}

// ---- The file list ------------------------------------------------------

CFileListModel::CFileListModel(CResultSet& set, QObject* pParent)
    : QAbstractTableModel(pParent), m_set(set), m_vecRowOf(set.FileCount(), -1) {}

void CFileListModel::SetFiles(std::vector<int> vecFiles) {
    beginResetModel();
    for (int nFile : m_vecRows) m_vecRowOf[static_cast<size_t>(nFile)] = -1;
    m_vecRows = std::move(vecFiles);
    SortRows();
    endResetModel();
}

int CFileListModel::RowOf(int nFile) const {
    if (nFile < 0 || static_cast<size_t>(nFile) >= m_vecRowOf.size()) return -1;
    return m_vecRowOf[static_cast<size_t>(nFile)];
}

void CFileListModel::RefreshTicks() {
    if (!m_vecRows.empty())
        emit dataChanged(index(0, COL_NAME), index(rowCount() - 1, COL_NAME), {Qt::CheckStateRole});
}

int CFileListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_vecRows.size());
}

int CFileListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : COL_COUNT;
}

const QString& CFileListModel::FolderPath(int nFile) const {
    const size_t nFolder = static_cast<size_t>(m_set.File(nFile).nFolder);
    if (m_vecFolderPaths.size() <= nFolder) {
        m_vecFolderPaths.resize(m_set.Groups(TREE_FOLDERS).size());
        m_vecFolderPathMade.resize(m_vecFolderPaths.size(), 0);
    }
    if (!m_vecFolderPathMade[nFolder]) {
        m_vecFolderPaths[nFolder] = m_set.PathOf(nFile);
        m_vecFolderPathMade[nFolder] = 1;
    }
    return m_vecFolderPaths[nFolder];
}

QVariant CFileListModel::data(const QModelIndex& index, int nRole) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const int nFile = FileAt(index.row());
    const RESULT_FILE& file = m_set.File(nFile);
    switch (nRole) {
        case Qt::DisplayRole:
        case Qt::ToolTipRole:
            switch (index.column()) {
                case COL_NAME:
                    return file.strName;
                case COL_SIZE:
                    return SizeText(m_set.Hit(nFile).u64FileSize);
                case COL_MODIFIED:
                    if (file.llModified == CResultSet::kNoTime) return QString();
                    return QDateTime::fromSecsSinceEpoch(file.llModified)
                        .toString("yyyy-MM-dd HH:mm");
                case COL_PATH:
                    return FolderPath(nFile);
                case COL_STATE:
                    return StateWord(file.nState);
                default:
                    return ConditionWord(file.nCondition);
            }
        case Qt::CheckStateRole:
            if (index.column() != COL_NAME) return {};
            return m_set.IsTicked(nFile) ? Qt::Checked : Qt::Unchecked;
        case Qt::DecorationRole:
            if (index.column() != COL_NAME || file.nType < 0) return {};
            return ExtensionIcon(m_set.Groups(TREE_TYPES)[static_cast<size_t>(file.nType)].strName);
        case Qt::TextAlignmentRole:
            if (index.column() == COL_SIZE) return QVariant(Qt::AlignRight | Qt::AlignVCenter);
            return QVariant(Qt::AlignLeft | Qt::AlignVCenter);
        case Qt::ForegroundRole:
            if (index.column() == COL_CONDITION && file.nCondition == NODE_CONDITION_DAMAGED)
                return QColor(170, 40, 30);
            return {};
        default:
            return {};
    }
}

bool CFileListModel::setData(const QModelIndex& index, const QVariant& value, int nRole) {
    if (!index.isValid() || index.column() != COL_NAME || nRole != Qt::CheckStateRole) return false;
    m_set.SetTicked(FileAt(index.row()), static_cast<Qt::CheckState>(value.toInt()) == Qt::Checked);
    emit dataChanged(index, index, {Qt::CheckStateRole});
    emit Ticked();
    return true;
}

Qt::ItemFlags CFileListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.column() == COL_NAME) flags |= Qt::ItemIsUserCheckable;
    return flags;
}

QVariant CFileListModel::headerData(int nSection, Qt::Orientation orientation, int nRole) const {
    if (orientation != Qt::Horizontal || nRole != Qt::DisplayRole) return {};
    static const char* const kHeaders[COL_COUNT] = {"Name", "Size",  "Modified",
                                                    "Path", "State", "Condition"};
    return nSection >= 0 && nSection < COL_COUNT ? kHeaders[nSection] : QVariant();
}

void CFileListModel::sort(int nColumn, Qt::SortOrder order) {
    m_nSortColumn = nColumn;
    m_order = order;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    std::vector<int> vecFiles;
    for (const QModelIndex& index : before) vecFiles.push_back(FileAt(index.row()));
    SortRows();
    QModelIndexList after;
    for (size_t i = 0; i < vecFiles.size(); ++i)
        after << index(RowOf(vecFiles[i]), before[static_cast<int>(i)].column());
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void CFileListModel::SortRows() {
    auto Name = [this](int nFile) {
        const char* szName = m_set.Hit(nFile).szFileName;
        return std::string_view(szName, strnlen(szName, sizeof(m_set.Hit(nFile).szFileName)));
    };
    // Ties go by name, then by the engine's order, so every order is one order.
    auto ByName = [&](int nA, int nB) {
        if (NaturalLess(Name(nA), Name(nB), true)) return true;
        if (NaturalLess(Name(nB), Name(nA), true)) return false;
        return nA < nB;
    };
    std::function<bool(int, int)> less;
    switch (m_nSortColumn) {
        case COL_NAME:
            less = ByName;
            break;
        case COL_SIZE:
            less = [&](int nA, int nB) {
                const uint64_t a = m_set.Hit(nA).u64FileSize, b = m_set.Hit(nB).u64FileSize;
                return a != b ? a < b : ByName(nA, nB);
            };
            break;
        case COL_MODIFIED:
            less = [&](int nA, int nB) {
                const int64_t a = m_set.File(nA).llModified, b = m_set.File(nB).llModified;
                return a != b ? a < b : ByName(nA, nB);
            };
            break;
        case COL_PATH:
            less = [&](int nA, int nB) {
                const int nCmp =
                    QString::compare(FolderPath(nA), FolderPath(nB), Qt::CaseInsensitive);
                return nCmp != 0 ? nCmp < 0 : ByName(nA, nB);
            };
            break;
        case COL_STATE:
        case COL_CONDITION:
            less = [&](int nA, int nB) {
                const bool bState = m_nSortColumn == COL_STATE;
                const int a = bState ? m_set.File(nA).nState : m_set.File(nA).nCondition;
                const int b = bState ? m_set.File(nB).nState : m_set.File(nB).nCondition;
                return a != b ? a < b : ByName(nA, nB);
            };
            break;
        default:
            break;
    }
    if (less) {
        if (m_order == Qt::AscendingOrder)
            std::sort(m_vecRows.begin(), m_vecRows.end(), less);
        else
            std::sort(m_vecRows.begin(), m_vecRows.end(),
                      [&](int nA, int nB) { return less(nB, nA); });
    }
    for (size_t i = 0; i < m_vecRows.size(); ++i)
        m_vecRowOf[static_cast<size_t>(m_vecRows[i])] = static_cast<int>(i);
}

// ---- Thumbnails ---------------------------------------------------------

CThumbnailModel::CThumbnailModel(CResultSet& set, CFileListModel& files, QObject* pParent)
    : QIdentityProxyModel(pParent), m_set(set), m_files(files), m_cache(64 * 1024) {
    setSourceModel(&files);
}

QVariant CThumbnailModel::data(const QModelIndex& index, int nRole) const {
    // Every cell holds a whole thumbnail and the name below it, whatever the
    // first one shown held.
    if (nRole == Qt::SizeHintRole) return Cell();
    if (nRole != Qt::DecorationRole || !index.isValid() || index.column() != COL_NAME)
        return QIdentityProxyModel::data(index, nRole);
    const int nFile = m_files.FileAt(index.row());
    if (const QPixmap* pThumbnail = m_cache.object(nFile)) return *pThumbnail;
    const QIcon icon = QIdentityProxyModel::data(index, nRole).value<QIcon>();
    if (m_set.File(nFile).bPicture && !m_setFailed.contains(nFile) &&
        !m_setPending.contains(nFile)) {
        m_setPending.insert(nFile);
        emit ThumbnailWanted(nFile);
    }
    return icon.pixmap(48, 48);
}

void CThumbnailModel::SetThumbnail(int nFile, const QImage& image) {
    m_setPending.remove(nFile);
    if (image.isNull()) {
        m_setFailed.insert(nFile);
        return;
    }
    // The cache counts KiB.
    m_cache.insert(nFile, new QPixmap(QPixmap::fromImage(image)),
                   std::max<qsizetype>(1, image.sizeInBytes() / 1024));
    const int nRow = m_files.RowOf(nFile);
    if (nRow >= 0) {
        const QModelIndex at = index(nRow, COL_NAME);
        emit dataChanged(at, at, {Qt::DecorationRole});
    }
}

void CGridDelegate::initStyleOption(QStyleOptionViewItem* pOption, const QModelIndex& index) const {
    QStyledItemDelegate::initStyleOption(pOption, index);
    pOption->decorationPosition = QStyleOptionViewItem::Top;
    pOption->decorationAlignment = Qt::AlignCenter;
    pOption->decorationSize = QSize(CThumbnailModel::kSide, CThumbnailModel::kSide);
    pOption->displayAlignment = Qt::AlignHCenter | Qt::AlignTop;
    pOption->textElideMode = Qt::ElideMiddle;
}

void CGridDelegate::paint(QPainter* pPainter, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const {
    QStyleOptionViewItem inner(option);
    inner.rect = ItemRect(option.rect);
    QStyledItemDelegate::paint(pPainter, inner, index);
}

bool CGridDelegate::editorEvent(QEvent* pEvent, QAbstractItemModel* pModel,
                                const QStyleOptionViewItem& option, const QModelIndex& index) {
    QStyleOptionViewItem inner(option);
    inner.rect = ItemRect(option.rect);
    return QStyledItemDelegate::editorEvent(pEvent, pModel, inner, index);
}
