// The main window: a normal, resizable window with the banner and the pages in
// a stacked layout: 1 the kinds of files, 2 the disks and their partitions,
// 3 the results of a scan. Long work runs as jobs on a worker thread behind a
// progress dialog (DRUIJobs.cpp).
#pragma once

#include <QMainWindow>
#include <QMetaType>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/PartitionManager.h"
#include "engine/IFileRecoveryParse.h"
#include "ui/JobHost.h"
#include "ui/PreviewWorker.h"
#include "ui/ResultSet.h"

class CFileListModel;
class CGroupModel;
class CPictureView;
class CThumbnailModel;
class QBoxLayout;
class QCheckBox;
class QComboBox;
class QDateEdit;
class QDoubleSpinBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QListView;
class QModelIndex;
class QPlainTextEdit;
class QPushButton;
class QStackedLayout;
class QStackedWidget;
class QTableView;
class QTimer;
class QTreeView;
class QTreeWidget;
class QTreeWidgetItem;
class SCANUI;

Q_DECLARE_METATYPE(_PARTITION_ITEM_)
Q_DECLARE_METATYPE(_FILE_NODE_)

class DRUI : public QMainWindow, public IJobHost {
    Q_OBJECT
public:
    // Makes the engine for a partition; the caller owns it. Null: the
    // partition cannot be scanned.
    using EngineMaker = std::function<IFileRecoveryParse*(const _PARTITION_ITEM_&)>;

    explicit DRUI(QWidget* pParent = nullptr);
    ~DRUI() override;

    // Builds the pages and creates the application-support folders.
    void Init();

    QStackedLayout* StackedLayout() const { return m_pStackedLayout; }
    // The deep scan, or the fast engine of the file system found while the
    // deep scan is not available; tests give a scripted engine instead.
    void SetEngineMaker(EngineMaker maker) { m_engineMaker = std::move(maker); }
    static IFileRecoveryParse* MakeEngine(const _PARTITION_ITEM_& item);

    // The progress dialog's side of the jobs (IJobHost).
    CJobReports& JobReports() override { return m_jobReports; }
    void RequestStop(int nOperation) override { m_bStop[Slot(nOperation)] = true; }
    bool IsJobDone(int nOperation) const override { return m_bDone[Slot(nOperation)]; }
    QString CurrentFileName() const override { return m_strCurrentFileName; }
    const std::vector<__SEARCH_FILE_INFO__>& SearchResults() const { return m_vecSearchResults; }
    IFileRecoveryParse* Engine() const { return m_pEngine.get(); }
    // The files of the result page with their folders, filter and ticks.
    const CResultSet* Results() const { return m_pResults.get(); }
    // The files ticked on the result page.
    size_t SelectedCount() const { return m_pResults ? m_pResults->TickedCount() : 0; }
    // The thumbnails of the result page's grid.
    const CThumbnailModel* Thumbnails() const { return m_pThumbModel; }
    // The program that decodes pictures for the preview and the thumbnails
    // (--decode-pictures); this program by default.
    void SetPictureDecoder(const QString& strProgram) { m_strDecoder = strProgram; }
    // The resource path of an extension's icon.
    static QString GetExtendNameIcon(QString strExt);
    // The ticked category boxes as TW_CATEGORY_* bits.
    unsigned int CheckedCategories() const;

    // Jobs, run on the worker thread with the window as context.
    static void _ScanProcess(void* pContext, int& nResult);
    static void _SearchProcess(void* pContext, int& nResult);
    static void _RecoveryProcess(void* pContext, int& nResult);
    void Scan(wchar_t* pSaveDir, int& nProcess);
    void RecoveryProcess();

    // Engine callbacks: the window is the context. A stop request makes them
    // return non-zero; otherwise they re-emit the report as a signal.
    static int ScanCallBack(void* pContext, int nProgress, int nPercent, int nRemaindSecond,
                            unsigned long long u64CurSector, unsigned long long u64SectorCount,
                            unsigned long long u64FindFileCount, wchar_t* pRecoveryFileName);
    static int RecoveryCallBack(void* pContext, int nProgress, int nPercent, int nErrorCode,
                                wchar_t* pRecoveryFileName);
    static int SearchCallBack(void* pContext, int nProgress, wchar_t* pRecoveryFileName);
    static int PreViewCallBack(void* pContext, int nProgress, int nRet);

public slots:
    void CheckBoxStatChange(int nStat);
    void CheckBoxAllStatChange(int nStat);
    void btnSlot();
    void diskItemClick(QTreeWidgetItem* pItem, int nColumn);
    // Mouse or keys picked a row (or none): "Scan" follows.
    void diskSelectionChanged();
    void diskItemDoubleClick(QTreeWidgetItem* pItem, int nColumn);
    void btnSlotScan();
    void btnSlotBack();
    void btnSlotRefresh();
    void btnAboutSlot();
    void btnSupportSlot();
    void btnHelpSlot();
    void btnOpenUrl(QString url);
    // Page 3.
    // The group picked in the tree shown: its files are listed.
    void treeItemSelectChanged();
    // The file picked in the list or the grid: it is previewed.
    void tableItemSelectChanged();
    void tableItemClick(const QModelIndex& index);
    // A tick in a tree, the list or the grid, by the mouse or by Space.
    void TicksChanged();
    // "By type" or "By folder"; "List" or "Thumbnails".
    void ShowTree(int nTree);
    void ShowThumbnails(bool bThumbnails);
    // The search field or a filter changed.
    void FilterChanged();
    void PreviewArrived(quint64 nSerial, PREVIEW_RESULT result);
    void ThumbnailArrived(int nFile, QImage image);
    void ThumbnailWanted(int nFile);
    // A preview has taken half a second: its progress dialog is shown.
    void PreviewTakesLong();
    void btnRecovery();

protected:
    // Escape is swallowed; Return and Enter press the page's default button.
    void keyPressEvent(QKeyEvent* pEvent) override;
    // Closing over scan results asks first.
    void closeEvent(QCloseEvent* pEvent) override;
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private:
    static int Slot(int nOperation) {
        return (nOperation >= 1 && nOperation <= 4) ? nOperation : 0;
    }
    void InitFrame();
    void InitLayout1Widget();
    void InitLayout2Widget();
    void InitLayout3Widget();
    void CreateDiskTree();
    // The disk or partition picked on page 2, or null.
    QTreeWidgetItem* PickedDiskItem() const;
    // "Start", "Scan" or "Recover", by page.
    QPushButton* DefaultButton() const;
    // True when there are no results to lose, or the user agreed to lose them.
    bool MayDiscardResults(const QString& strQuestion);
    void CreateSupportFolders();
    // Runs one job behind its dialog: flags cleared, thread started, the
    // dialog run modally, the thread waited for.
    void RunJob(SCANUI& dialog, void (*pfnJob)(void*, int&), int nOperation);
    void ScanFailedMessage();
    QWidget* CreateTree(RESULT_TREE nTree);
    QWidget* CreateTable();
    QWidget* CreateFilterPanel();
    QHBoxLayout* CreateToolRow();
    QHBoxLayout* CreateRecoveryOptions();
    QWidget* CreatePreviewArea();
    // Lists the files of a group of the tree shown.
    void UpdateTreeInfo(const QModelIndex& index, int nColumn);
    // The tree, the list and the summary after ticks or the filter changed.
    void RefreshTicks();
    void ShowPreview(const PREVIEW_RESULT& result);
    // Stops the preview and thumbnail thread before the engine goes.
    void StopPreviewWorker();
    void UpdateSummary();
    bool HasResultPage() const;
    // Sizes the window to what the screen offers, 1000 x 660 at most.
    void FitToScreen();

    // The frame.
    QLabel* m_pBanner = nullptr;
    QStackedLayout* m_pStackedLayout = nullptr;
    // Page 1.
    QWidget* m_pPage1 = nullptr;
    QCheckBox* m_pCategoryBoxes[6] = {};
    QCheckBox* m_pCheckAll = nullptr;
    QPushButton* m_pBtnStart = nullptr;
    bool m_bPartial = false;
    // Page 2.
    QWidget* m_pPage2 = nullptr;
    QTreeWidget* m_pDiskTree = nullptr;
    QPushButton* m_pBtnScan = nullptr;
    // Page 3: the found files by kind or by folder, listed or as thumbnails.
    QWidget* m_pPage3 = nullptr;
    RESULT_TREE m_nTree = TREE_TYPES;
    CGroupModel* m_pGroupModels[2] = {};
    QTreeView* m_pTrees[2] = {};
    QStackedWidget* m_pTreeStack = nullptr;
    QPushButton* m_pBtnTree[2] = {};
    CFileListModel* m_pFileModel = nullptr;
    CThumbnailModel* m_pThumbModel = nullptr;
    QTableView* m_pFileTable = nullptr;
    QListView* m_pGrid = nullptr;
    QStackedWidget* m_pFileStack = nullptr;
    QBoxLayout* m_pFilesAndPreview = nullptr;  // the files, and the preview below or beside
    QWidget* m_pPreviewArea = nullptr;
    QPushButton* m_pBtnList = nullptr;
    QPushButton* m_pBtnGrid = nullptr;
    QLineEdit* m_pSearch = nullptr;
    QPushButton* m_pBtnFilters = nullptr;
    QWidget* m_pFilterPanel = nullptr;
    QDoubleSpinBox* m_pMinSize = nullptr;
    QDoubleSpinBox* m_pMaxSize = nullptr;
    QComboBox* m_pSizeUnit = nullptr;
    QCheckBox* m_pDates = nullptr;
    QDateEdit* m_pDateFrom = nullptr;
    QDateEdit* m_pDateTo = nullptr;
    QCheckBox* m_pGoodOnly = nullptr;
    QStackedWidget* m_pPreviewStack = nullptr;
    CPictureView* m_pPreview = nullptr;
    QPlainTextEdit* m_pPreviewText = nullptr;
    QLabel* m_pPreviewMessage = nullptr;
    QLabel* m_pPreviewCaption = nullptr;
    QLabel* m_pSummary = nullptr;
    QComboBox* m_pFolderOption = nullptr;
    QCheckBox* m_pKeepTimes = nullptr;
    QPushButton* m_pBtnRecover = nullptr;
    QString m_strDecoder;
    std::unique_ptr<CResultSet> m_pResults;
    QString m_strTopFolder;  // the scanned disk or partition, the top of the folder tree
    // Previews and thumbnails: read on their own thread, the engine locked
    // for each call (the jobs lock it too).
    std::mutex m_engineMutex;
    std::unique_ptr<CPreviewWorker> m_pWorker;
    quint64 m_nPreviewSerial = 0;
    int m_nPreviewFile = -1;
    QTimer* m_pPreviewTimer = nullptr;
    // The recovery's choices, taken when it starts.
    bool m_bKeepFolders = false;
    bool m_bRestoreTimes = true;

    // Job state.
    EngineMaker m_engineMaker;
    _PARTITION_ITEM_ m_partitionItem{};
    std::unique_ptr<IFileRecoveryParse> m_pEngine;
    bool m_bEngineMissing = false;
    unsigned int m_nSearchCategories = 0;
    std::vector<__SEARCH_FILE_INFO__> m_vecSearchResults;
    QString m_strCurrentFileName;
    QString m_strSaveDir = "/";
    // Stop requested and job done, per operation (index 0 unused).
    CJobReports m_jobReports;
    std::atomic<bool> m_bStop[5] = {};
    std::atomic<bool> m_bDone[5] = {};
};
