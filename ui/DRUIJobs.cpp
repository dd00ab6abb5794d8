// The jobs of the main window and the engine callbacks that carry their
// progress to the dialog. Everything here but RunJob and the scan button runs
// on the worker thread and touches no widget.
#include <unistd.h>

#include <QLabel>
#include <QPushButton>
#include <QStackedLayout>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "common/DebugLog.h"
#include "common/FaultGuard.h"
#include "common/Helpers.h"
#include "common/Platform.h"
#include "engine/Categories.h"
#include "deepscan/FileRecoveryFactory.h"
#include "deepscan/ProfessionalRecovery.h"
#include "ui/DRUI.h"
#include "ui/Dialogs.h"
#include "ui/MyThread.h"
#include "ui/ScanUI.h"
#include "ui/UiStyle.h"

namespace {

QString WideToQString(const wchar_t* wsz) {
    return wsz ? QString::fromWCharArray(wsz) : QString();
}

CFaultGuard g_previewGuard("recvSignal");

}  // namespace

IFileRecoveryParse* DRUI::MakeEngine(const _PARTITION_ITEM_& item) {
    CFileRecoveryFactory& factory = CFileRecoveryFactory::GetInstance();
    const long long llFirst = static_cast<long long>(item.u64StartSector);
    const long long llCount = static_cast<long long>(item.u64EndSector - item.u64StartSector + 1);
    // The disk is opened once: every engine of the scan reads that one device,
    // even if disks come and go meanwhile.
    unsigned int nErr = 0;
    std::shared_ptr<CMediumSource> pSource = CMediumSource::OpenDisk(item.nDiskNo, nErr);
    if (!pSource) return nullptr;
    IFileRecoveryParse* pEngine =
        factory.CreateFileRecoveryInstance(pSource, llFirst, llCount, L'C', RECOVERY_TYPE_DEEP);
    // Every scan of the application starts afresh: an earlier scan log of the
    // same area is deleted, not continued.
    if (auto* pDeep = dynamic_cast<CProfessionalRecovery*>(pEngine)) pDeep->SetNotLoadLogFile();
    // A build without the deep scan still scans the file system it knows.
    if (!pEngine)
        pEngine =
            factory.CreateFileRecoveryInstance(pSource, llFirst, llCount, L'C', RECOVERY_TYPE_FAST);
    return pEngine;
}

void DRUI::RunJob(SCANUI& dialog, void (*pfnJob)(void*, int&), int nOperation) {
    // Cleared here, before the worker starts, so a cancel pressed at once is
    // not lost and nothing of an earlier job is left over.
    m_bStop[Slot(nOperation)] = false;
    m_bDone[Slot(nOperation)] = false;
    CMyThread* pThread = new CMyThread(nullptr);
    pThread->SetFunc(pfnJob, this);
    pThread->start(QThread::InheritPriority);
    dialog.exec();
    pThread->exit(0);
    pThread->wait();
    delete pThread;
}

void DRUI::btnSlotScan() {
    QTreeWidgetItem* pItem = PickedDiskItem();
    if (!pItem) return;
    // The engine of the last scan goes, and the page that shows its files:
    // nothing may read through it or its results any more.
    StopPreviewWorker();
    if (m_pPage3) {
        m_pStackedLayout->removeWidget(m_pPage3);
        delete m_pPage3;
        m_pPage3 = nullptr;
        m_pFileModel = nullptr;
        m_pThumbModel = nullptr;
    }
    m_partitionItem = pItem->data(0, Qt::UserRole).value<_PARTITION_ITEM_>();
    m_strTopFolder = pItem->text(0).section(QString(" \u00b7 "), 0, 0);
    m_nSearchCategories = CheckedCategories();
    const QPoint ptDialog = frameGeometry().topLeft() + QPoint(width() / 4, height() / 4);
    {
        SCANUI dialog(this);
        dialog.InitSlot(this, OP_SCAN);
        dialog.move(ptDialog);
        RunJob(dialog, &DRUI::_ScanProcess, OP_SCAN);
    }
    TwDebug("_ScanProcess end\n");
    if (m_bEngineMissing) {
        ScanFailedMessage();
        return;
    }
    TwDebug("_SearchProcess Start\n");
    {
        SCANUI dialog(this);
        dialog.InitSlot(this, OP_SEARCH);
        dialog.move(ptDialog);
        RunJob(dialog, &DRUI::_SearchProcess, OP_SEARCH);
    }
    TwDebug("_SearchProcess end\n");
    InitLayout3Widget();
    m_pStackedLayout->setCurrentWidget(m_pPage3);
}

void DRUI::ScanFailedMessage() {
    const QString strName = QString::fromStdString(GetPartitionNameUtf8(m_partitionItem));
    const QString strWhere =
        QString("%1 (%2)").arg(strName.isEmpty() ? QString("the partition") : strName,
                               QString::fromLatin1(m_partitionItem.szDiskName));
    // Whether the start of the partition reads tells a dead medium from a
    // file system nothing here can scan.
    bool bReadable = false;
    const int fd = tw::OpenDiskNode(m_partitionItem.nDiskNo);
    if (fd >= 0) {
        unsigned char sector[512];
        bReadable = ::pread(fd, sector, sizeof(sector),
                            static_cast<off_t>(m_partitionItem.u64StartSector * 512)) ==
                    static_cast<ssize_t>(sizeof(sector));
        ::close(fd);
    }
    CMessageBox::Inform(
        this, bReadable ? QString("Tarnwick cannot scan %1: it holds no file system Tarnwick "
                                  "knows.")
                              .arg(strWhere)
                        : QString("Tarnwick could not read %1. Check that the device is "
                                  "connected, then press Refresh.")
                              .arg(strWhere));
}

void DRUI::_ScanProcess(void* pContext, int& nResult) {
    (void)nResult;
    static_cast<DRUI*>(pContext)->Scan(nullptr, nResult);
}

void DRUI::Scan(wchar_t* /*pSaveDir*/, int& /*nProcess*/) {
    m_pEngine.reset();
    m_bEngineMissing = false;
    TwDebug("m_partitionItem.u64StartSector = %lld\n",
            static_cast<long long>(m_partitionItem.u64StartSector));
    m_pEngine.reset(m_engineMaker(m_partitionItem));
    if (m_pEngine) {
        // The deep scan would be told here to start afresh (its saved log of
        // this area is not loaded); the engines of this build always do.
        m_pEngine->InitCallBack(&DRUI::ScanCallBack, &DRUI::RecoveryCallBack, this, 100);
        m_pEngine->ScanDevice(nullptr);
    } else {
        m_bEngineMissing = true;
    }
    m_bDone[OP_SCAN] = true;
    emit m_jobReports.JobEnded(OP_SCAN);
}

void DRUI::_SearchProcess(void* pContext, int& /*nResult*/) {
    DRUI* pThis = static_cast<DRUI*>(pContext);
    pThis->m_vecSearchResults.clear();
    std::vector<std::wstring> vecParents;
    if (pThis->m_pEngine) {
        pThis->m_pEngine->InitSearchCallBack(&DRUI::SearchCallBack, pThis);
        const std::wstring wstrFilter = BuildCategoryFilterW(pThis->m_nSearchCategories);
        pThis->m_pEngine->SearchFileNode(wstrFilter.c_str(), pThis->m_vecSearchResults);
        // Each file's folders on its volume, for the folder view and for a
        // recovery that keeps them.
        vecParents.resize(pThis->m_vecSearchResults.size());
        wchar_t wszParent[1024];
        for (size_t i = 0; i < pThis->m_vecSearchResults.size() && !pThis->m_bStop[OP_SEARCH];
             ++i) {
            wszParent[0] = 0;
            pThis->m_pEngine->GetFileNodeParentDirPath(&pThis->m_vecSearchResults[i], wszParent,
                                                       1024);
            wszParent[1023] = 0;
            vecParents[i] = wszParent;
        }
    }
    // The page's data is made here, off the window's thread.
    pThis->m_pResults.reset(new CResultSet);
    pThis->m_pResults->Build(pThis->m_vecSearchResults, vecParents, pThis->m_strTopFolder);
    pThis->m_bDone[OP_SEARCH] = true;
    SearchCallBack(pThis, 100, nullptr);
    emit pThis->m_jobReports.JobEnded(OP_SEARCH);
}

void DRUI::_RecoveryProcess(void* pContext, int& /*nResult*/) {
    DRUI* pThis = static_cast<DRUI*>(pContext);
    pThis->RecoveryProcess();
    pThis->m_bStop[OP_RECOVERY] = true;
    pThis->m_bDone[OP_RECOVERY] = true;
    emit pThis->m_jobReports.JobEnded(OP_RECOVERY);
}

int DRUI::ScanCallBack(void* pContext, int nProgress, int nPercent, int nRemaindSecond,
                       unsigned long long u64CurSector, unsigned long long u64SectorCount,
                       unsigned long long u64FindFileCount, wchar_t* pRecoveryFileName) {
    DRUI* pThis = static_cast<DRUI*>(pContext);
    if (pThis->m_bStop[OP_SCAN]) return 1;
    emit pThis->m_jobReports.ScanProcessCallBack(
        nProgress, nPercent, nRemaindSecond, QString::number(u64CurSector, 10),
        QString::number(u64SectorCount, 10), QString::number(u64FindFileCount, 10),
        WideToQString(pRecoveryFileName));
    return 0;
}

int DRUI::RecoveryCallBack(void* pContext, int nProgress, int nPercent, int nErrorCode,
                           wchar_t* pRecoveryFileName) {
    DRUI* pThis = static_cast<DRUI*>(pContext);
    if (pThis->m_bStop[OP_RECOVERY]) return static_cast<int>(TW_ERR_CANCELLED);
    emit pThis->m_jobReports.RecoveryCallBack(nProgress, nPercent, nErrorCode,
                                              WideToQString(pRecoveryFileName));
    return 0;
}

int DRUI::SearchCallBack(void* pContext, int nProgress, wchar_t* /*pRecoveryFileName*/) {
    DRUI* pThis = static_cast<DRUI*>(pContext);
    if (pThis->m_bStop[OP_SEARCH]) return 1;
    emit pThis->m_jobReports.SearchCallBack(nProgress, QString());
    return 0;
}

int DRUI::PreViewCallBack(void* pContext, int nProgress, int nRet) {
    DRUI* pThis = static_cast<DRUI*>(pContext);
    if (pThis->m_bStop[OP_PREVIEW]) return 1;
    emit pThis->m_jobReports.PreViewCallBackForSlot(nProgress, nRet);
    return 0;
}
