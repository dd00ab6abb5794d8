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
#include <map>
#include <memory>
#include <vector>

#include "device/PartitionManager.h"
#include "engine/IFileRecoveryParse.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QStackedLayout;
class QTableWidget;
class QTableWidgetItem;
class QTreeWidget;
class QTreeWidgetItem;
class SCANUI;

Q_DECLARE_METATYPE(_PARTITION_ITEM_)
Q_DECLARE_METATYPE(_FILE_NODE_)

class DRUI : public QMainWindow {
    Q_OBJECT
public:
    // The job kinds; the progress dialog shows the same numbers.
    enum { OP_SCAN = 1, OP_SEARCH = 2, OP_PREVIEW = 3, OP_RECOVERY = 4 };
    static constexpr int kPreviewBytes = 10240;
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

    // The job handshake of the progress dialog.
    void RequestStop(int nOperation) { m_bStop[Slot(nOperation)] = true; }
    bool IsJobDone(int nOperation) const { return m_bDone[Slot(nOperation)]; }
    // The name of the file being previewed.
    QString CurrentFileName() const { return m_strCurrentFileName; }
    const std::vector<__SEARCH_FILE_INFO__>& SearchResults() const { return m_vecSearchResults; }
    IFileRecoveryParse* Engine() const { return m_pEngine.get(); }
    // The files ticked on the result page, by (nFileIndex << 32) | nDirId.
    const std::map<uint64_t, _FILE_NODE_>& Selection() const { return m_mapSelected; }
    // The program that decodes pictures for the preview (--decode-picture);
    // this program by default.
    void SetPictureDecoder(const QString& strProgram) { m_strDecoder = strProgram; }
    // The resource path of an extension's icon.
    static QString GetExtendNameIcon(QString strExt);
    // The ticked category boxes as TW_CATEGORY_* bits.
    unsigned int CheckedCategories() const;

    // Jobs, run on the worker thread with the window as context.
    static void _ScanProcess(void* pContext, int& nResult);
    static void _SearchProcess(void* pContext, int& nResult);
    static void _PreviewProcess(void* pContext, int& nResult);
    static void _RecoveryProcess(void* pContext, int& nResult);
    void Scan(wchar_t* pSaveDir, int& nProcess);
    void PreviewProcess();
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

signals:
    void ScanProcessCallBack(int nProgress, int nPercent, int nRemaindSecond,
                             QString u64CurSectorStr, QString u64SectorCountStr,
                             QString u64FindFileCountStr, QString pRecoveryFileName);
    void RecoveryCallBack(int nProgress, int nPercent, int nErrorCode, QString pRecoveryFileName);
    // One file of a recovery, the nIndex-th of nTotal: started (nOutcome -1),
    // or ended with a RECOVERY_OUTCOME and, unless recovered, the reason.
    void RecoveryFile(int nIndex, int nTotal, QString strName, int nOutcome, QString strReason);
    void SearchCallBack(int nProgress, QString pRecoveryFileName);
    void PreViewCallBackForSlot(int nProgress, int nRet);
    // A job function has returned (its done flag is set).
    void JobEnded(int nOperation);

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
    void treeItemSelectChanged();
    void treeItemClick(QTreeWidgetItem* pItem, int nColumn);
    void tableItemPress(int nRow, int nColumn);
    // A tick of a tree item or table row, by the mouse or by Space.
    void treeItemChanged(QTreeWidgetItem* pItem, int nColumn);
    void tableItemChanged(QTableWidgetItem* pItem);
    void tableItemSelectChanged();
    void tableItemClick(QTableWidgetItem* pItem);
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
    QTreeWidget* CreateTree();
    QTableWidget* CreateTable();
    void UpdateTreeInfo(QTreeWidgetItem* pItem, int nColumn);
    void SetTreeChildCheckState(QTreeWidgetItem* pItem, int nState);
    void SetTreeParentCheckState(QTreeWidgetItem* pItem);
    // The item's tick (checked or not) to its children, its parent, the
    // selection and the rows shown.
    void ApplyTreeCheck(QTreeWidgetItem* pItem);
    // Sets a tick quietly, saying a partial one in words too.
    void MarkCheck(QTreeWidgetItem* pItem, Qt::CheckState nState);
    // A row's tick to the selection and to the tree item shown.
    void SyncRowCheck(int nRow);
    void WinHexBufData(_FILE_NODE_* pNode, unsigned char* pData, int nLength);
    void SelectFile(const _FILE_NODE_& node, bool bSelected);
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
    // Page 3: per category, the found files by extension.
    QWidget* m_pPage3 = nullptr;
    QTreeWidget* m_pTypeTree = nullptr;
    QTableWidget* m_pFileTable = nullptr;
    QLabel* m_pPreview = nullptr;
    QLabel* m_pSummary = nullptr;
    QPushButton* m_pBtnRecover = nullptr;
    QTreeWidgetItem* m_pRememberedItem = nullptr;
    std::map<QString, std::vector<__SEARCH_FILE_INFO__>> m_mapCategory[6];
    std::map<uint64_t, _FILE_NODE_> m_mapSelected;
    QString m_strDecoder;

    // Job state.
    EngineMaker m_engineMaker;
    _PARTITION_ITEM_ m_partitionItem{};
    std::unique_ptr<IFileRecoveryParse> m_pEngine;
    bool m_bEngineMissing = false;
    unsigned int m_nSearchCategories = 0;
    std::vector<__SEARCH_FILE_INFO__> m_vecSearchResults;
    _FILE_NODE_ m_previewNode{};
    wchar_t m_wszPreviewPath[512] = {};
    std::unique_ptr<unsigned char[]> m_pPreviewBuf;
    std::unique_ptr<char[]> m_pTextBuf;
    int m_nPreviewSize = kPreviewBytes;
    QString m_strCurrentFileName;
    QString m_strSaveDir = "/";
    // Stop requested and job done, per operation (index 0 unused).
    std::atomic<bool> m_bStop[5] = {};
    std::atomic<bool> m_bDone[5] = {};
};
