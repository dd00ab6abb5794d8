// Recovery to a destination folder: the "Recover" button with its check of
// the destination, and the job that saves every ticked file, into a folder
// per kind or into the volume's own folders, under a name that overwrites
// nothing, gives it the times its record holds and reports how each ended.
#include <cerrno>

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>

#include <mutex>
#include <string>
#include <vector>

#include "common/DebugLog.h"
#include "common/FaultGuard.h"
#include "common/Helpers.h"
#include "common/Platform.h"
#include "engine/DestinationCheck.h"
#include "engine/RecoveryLayout.h"
#include "engine/RecoveryOutcome.h"
#include "engine/SaveTarget.h"
#include "ui/DRUI.h"
#include "ui/Dialogs.h"
#include "ui/ResultSet.h"
#include "ui/ScanUI.h"
#include "ui/TextCodec.h"

namespace {

CFaultGuard g_saveGuard("recvSignal");

}  // namespace

void DRUI::btnRecovery() {
    m_strSaveDir = "/";
    const QString strDir = QFileDialog::getExistingDirectory(this, "", m_strSaveDir,
                                                             QFileDialog::ShowDirsOnly |
                                                                 QFileDialog::DontResolveSymlinks |
                                                                 QFileDialog::DontUseNativeDialog);
    if (strDir.isNull()) return;
    m_strSaveDir = strDir;
    // Checked before the first file, as the command line does: a folder that
    // can be written, on another device, with room for the selection.
    const std::string strDirUtf8 = strDir.toUtf8().toStdString();
    const DESTINATION_STATUS status = CheckDestination(strDirUtf8);
    if (status.nProblem != DESTINATION_OK) {
        CMessageBox::Inform(
            this, QString("Tarnwick cannot recover into this folder: %1. Choose another folder.")
                      .arg(QString::fromStdString(DescribeDestinationProblem(strDirUtf8, status))));
        return;
    }
    // Writing to the medium being recovered can overwrite the very files wanted.
    const std::string strSource = tw::ResolveDiskNode(m_partitionItem.nDiskNo);
    if (IsTargetOnSourceDevice(strSource.c_str(), strDirUtf8.c_str())) {
        CMessageBox::Inform(this, QString("%1 lies on the device being scanned: writing there can "
                                          "overwrite the very files being recovered. Choose a "
                                          "folder on another disk.")
                                      .arg(strDir));
        return;
    }
    const unsigned long long u64Wanted = m_pResults ? m_pResults->TickedBytes() : 0;
    if (status.bFreeKnown && u64Wanted > status.u64FreeBytes &&
        CMessageBox::Ask(this, QString("%1 has %2 free, and the %3 selected files need %4: some "
                                       "will be saved in part or not at all. Recover anyway?")
                                   .arg(strDir)
                                   .arg(QString::fromStdString(FormatSize(status.u64FreeBytes)))
                                   .arg(SelectedCount())
                                   .arg(QString::fromStdString(FormatSize(u64Wanted)))) == 0)
        return;
    // What the job needs from the window is taken now: it runs on the worker.
    m_bKeepFolders = m_pFolderOption->currentIndex() == 0;
    m_bRestoreTimes = m_pKeepTimes->isChecked();
    SCANUI dialog(this);
    dialog.SetSaveDir(m_strSaveDir);
    dialog.InitSlot(this, OP_RECOVERY);
    dialog.move(frameGeometry().topLeft() + QPoint(width() / 4, height() / 4));
    TwDebug("_RecoveryProcess Start\n");
    RunJob(dialog, &DRUI::_RecoveryProcess, OP_RECOVERY);
}

void DRUI::RecoveryProcess() {
    // Previews and thumbnails wait while the engine saves.
    std::lock_guard<std::mutex> lock(m_engineMutex);
    int nLevelOffset = 0;
    const std::wstring wstrDest = m_strSaveDir.toStdWString();
    GetPathDirIndex(wstrDest.c_str(), nLevelOffset);
    IFileRecoveryParse* pEngine = m_pEngine.get();
    const std::vector<int> vecFiles = m_pResults ? m_pResults->TickedFiles() : std::vector<int>();
    const int nTotal = static_cast<int>(vecFiles.size());
    const std::string strDest = m_strSaveDir.toUtf8().toStdString();
    // Everything is made below the destination, as the user the program runs
    // for (it runs as root after relaunching itself through pkexec or sudo).
    CSaveDestination dest;
    const unsigned int nDest = dest.Open(strDest, tw::RequestingFsUser(), false);
    CRecoveryLayout layout(strDest, m_bKeepFolders);
    for (int nIndex = 1; nIndex <= nTotal && pEngine; ++nIndex) {
        const int nFile = vecFiles[static_cast<size_t>(nIndex - 1)];
        const _FILE_NODE_& node = m_pResults->Hit(nFile);
        const QString strName = m_pResults->File(nFile).strName;
        emit m_jobReports.RecoveryFile(nIndex, nTotal, strName, -1, QString());
        std::string strFolder;
        unsigned int nRet =
            nDest ? nDest
                  : layout.MakeTargetFolder(node, m_pResults->FolderNamesOf(nFile), strFolder);
        bool bDestination = true;
        std::wstring wstrTarget;
        // The found name as one path component; a path that does not fit the
        // engine's 512-character buffer fails, never cut.
        if (nRet == 0 && (GetUniqueChildPath(tw::Utf8ToWide(strFolder.c_str()), node.szFileName,
                                             wstrTarget) != 0 ||
                          wstrTarget.size() >= 512))
            nRet = ENAMETOOLONG;
        std::string strTarget;
        if (nRet == 0) {
            strTarget = tw::WideToUtf8(wstrTarget.c_str());
            ResetSaveFailureOrigin();
            // A fault while reading the medium leaves the file unread, not the program.
            volatile unsigned int nSaved = TW_ERR_SHORT_READ;
            TW_FAULT_TRY(g_saveGuard) {
                nSaved = pEngine->SaveFileData(&node, wstrTarget.c_str(), nLevelOffset);
            }
            TW_FAULT_CATCH(g_saveGuard) {}
            TW_FAULT_END(g_saveGuard);
            nRet = nSaved;
            bDestination = GetLastSaveFailureOrigin() == SAVE_FAILURE_DESTINATION;
        }
        const RECOVERY_FILE_RESULT result =
            SettleRecoveredFile(strTarget, nRet, bDestination, node.u64FileSize);
        if (m_bRestoreTimes && IsSavedWhole(result)) SetRecoveredFileTimes(strTarget, node);
        emit m_jobReports.RecoveryFile(nIndex, nTotal, strName, result.nOutcome,
                                       QString::fromStdString(RecoveryReason(result)));
        if (nRet == TW_ERR_CANCELLED) break;
    }
    // Folder times last: every file written into a folder changed its own.
    if (m_bRestoreTimes && pEngine) layout.SetFolderTimes(*pEngine);
    RecoveryCallBack(this, 100, 1000, 0, nullptr);
}
