// The item models of the result page over one CResultSet: the trees (by kind
// or by folder, with counts that follow the filter and ticks), the file list
// of the group shown (sortable by every column) and the thumbnails of its
// pictures. Rows are made only when a view asks for them, so a scan with a
// hundred thousand files lists as quickly as one with ten.
#pragma once

#include <QAbstractItemModel>
#include <QCache>
#include <QHash>
#include <QIdentityProxyModel>
#include <QIcon>
#include <QPixmap>
#include <QSet>
#include <QStyledItemDelegate>

#include <vector>

#include "ui/PreviewDecoder.h"
#include "ui/ResultSet.h"

class CGroupModel : public QAbstractItemModel {
    Q_OBJECT
public:
    CGroupModel(CResultSet& set, RESULT_TREE nTree, QObject* pParent = nullptr);

    QModelIndex index(int nRow, int nColumn, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int nRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int nRole) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int nSection, Qt::Orientation orientation, int nRole) const override;

    RESULT_TREE Tree() const { return m_nTree; }
    // The group of an index (0, the top, for an invalid one) and back.
    int GroupOf(const QModelIndex& index) const;
    QModelIndex IndexOf(int nGroup) const;
    // Ticks changed: every label and tick is shown anew.
    void Refresh();
    // The filter changed: the groups shown changed too.
    void Rebuild();

signals:
    // The user ticked or cleared a group.
    void Ticked();

private:
    CResultSet& m_set;
    RESULT_TREE m_nTree;
};

enum RESULT_COLUMN {
    COL_NAME,
    COL_SIZE,
    COL_MODIFIED,
    COL_PATH,
    COL_STATE,
    COL_CONDITION,
    COL_COUNT
};

class CFileListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit CFileListModel(CResultSet& set, QObject* pParent = nullptr);

    // Shows these files in the current order.
    void SetFiles(std::vector<int> vecFiles);
    int FileAt(int nRow) const { return m_vecRows[static_cast<size_t>(nRow)]; }
    // The row of a file, or -1 when it is not listed.
    int RowOf(int nFile) const;
    // Ticks changed elsewhere: the check boxes are shown anew.
    void RefreshTicks();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int nRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int nRole) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int nSection, Qt::Orientation orientation, int nRole) const override;
    void sort(int nColumn, Qt::SortOrder order) override;

signals:
    void Ticked();

private:
    void SortRows();
    const QString& FolderPath(int nFile) const;

    CResultSet& m_set;
    std::vector<int> m_vecRows;
    std::vector<int> m_vecRowOf;  // per file, its row or -1
    int m_nSortColumn = -1;       // -1: the engine's order
    Qt::SortOrder m_order = Qt::AscendingOrder;
    mutable std::vector<QString> m_vecFolderPaths;  // per folder group, made on first use
    mutable std::vector<char> m_vecFolderPathMade;
};

// The file list with a picture's thumbnail in place of its icon. A thumbnail
// not made yet is asked for (ThumbnailWanted) when a view first shows the
// file, and shown when it arrives; the last ones made stay cached.
class CThumbnailModel : public QIdentityProxyModel {
    Q_OBJECT
public:
    static constexpr int kSide = kThumbnailSide;
    // A grid cell: the thumbnail's square, the tick box beside it, the name below.
    static QSize Cell() { return QSize(kSide + 48, kSide + 42); }

    CThumbnailModel(CResultSet& set, CFileListModel& files, QObject* pParent = nullptr);
    QVariant data(const QModelIndex& index, int nRole) const override;
    // A thumbnail has been made (a null image: it cannot be).
    void SetThumbnail(int nFile, const QImage& image);
    // Whether the file's thumbnail is shown (tests and screenshots wait for it).
    bool HasThumbnail(int nFile) const { return m_cache.contains(nFile); }
    // Files asked for but not made: asked again when next shown.
    void ForgetPending() { m_setPending.clear(); }

signals:
    void ThumbnailWanted(int nFile) const;

private:
    CResultSet& m_set;
    CFileListModel& m_files;
    QCache<int, QPixmap> m_cache;
    QSet<int> m_setFailed;
    mutable QSet<int> m_setPending;
};

// Grid items: the picture centred in a square above its name, the names of
// a row in line, clear of the cell's edges.
class CGridDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    // The part of a cell an item is drawn in (and its tick box hit).
    static QRect ItemRect(const QRect& cell) { return cell.adjusted(3, 6, -3, -2); }
    void paint(QPainter* pPainter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    bool editorEvent(QEvent* pEvent, QAbstractItemModel* pModel, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;

protected:
    void initStyleOption(QStyleOptionViewItem* pOption, const QModelIndex& index) const override;
};

// The icon of an extension, made once.
QIcon ExtensionIcon(const QString& strExt);
// The words for a NODE_STATE and a NODE_CONDITION.
QString StateWord(int nState);
QString ConditionWord(int nCondition);
