// Recovery to a destination folder: the "Recover" button with its check of
// the destination, and the job that saves every selected file into a folder
// per kind under a name that overwrites nothing and reports how each ended.
#include <cerrno>

#include <QFileDialog>

#include <string>
#include <vector>

#include "common/DebugLog.h"
#include "common/FaultGuard.h"
#include "common/Helpers.h"
#include "common/Platform.h"
#include "engine/Categories.h"
#include "engine/DestinationCheck.h"
#include "engine/RecoveryOutcome.h"
#include "engine/SaveTarget.h"
#include "ui/DRUI.h"
#include "ui/Dialogs.h"
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
    unsigned long long u64Wanted = 0;
    for (const auto& entry : m_mapSelected)
        u64Wanted = AddSizes(u64Wanted, entry.second.u64FileSize);
    if (status.bFreeKnown && u64Wanted > status.u64FreeBytes &&
        CMessageBox::Ask(this, QString("%1 has %2 free, and the %3 selected files need %4: some "
                                       "will be saved in part or not at all. Recover anyway?")
                                   .arg(strDir)
                                   .arg(QString::fromStdString(FormatSize(status.u64FreeBytes)))
                                   .arg(m_mapSelected.size())
                                   .arg(QString::fromStdString(FormatSize(u64Wanted)))) == 0)
        return;
    SCANUI dialog(this);
    dialog.SetSaveDir(m_strSaveDir);
    dialog.InitSlot(this, OP_RECOVERY);
    dialog.move(frameGeometry().topLeft() + QPoint(width() / 4, height() / 4));
    TwDebug("_RecoveryProcess Start\n");
    RunJob(dialog, &DRUI::_RecoveryProcess, OP_RECOVERY);
}

void DRUI::RecoveryProcess() {
    int nLevelOffset = 0;
    const std::wstring wstrDest = m_strSaveDir.toStdWString();
    GetPathDirIndex(wstrDest.c_str(), nLevelOffset);
    IFileRecoveryParse* pEngine = m_pEngine.get();
    std::vector<_FILE_NODE_> files;
    for (const auto& entry : m_mapSelected) files.push_back(entry.second);
    const int nTotal = static_cast<int>(files.size());
    wchar_t wszTarget[512];
    // Everything is made below the destination, as the user the program runs
    // for (it runs as root after relaunching itself through pkexec or sudo).
    CSaveDestination dest;
    const unsigned int nDest =
        dest.Open(m_strSaveDir.toUtf8().toStdString(), tw::RequestingFsUser(), false);
    for (int nIndex = 1; nIndex <= nTotal && pEngine; ++nIndex) {
        const _FILE_NODE_& node = files[static_cast<size_t>(nIndex - 1)];
        const QString strName = NarrowToQString(node.szFileName);
        emit RecoveryFile(nIndex, nTotal, strName, -1, QString());
        char szFolder[16];
        GetDirTypeByFileName(node.szFileName, szFolder);
        const QString strFolder = m_strSaveDir + "/" + szFolder;
        unsigned int nRet =
            nDest ? nDest : MakeTargetDirs(strFolder.toUtf8().toStdString(), nullptr);
        bool bDestination = true;
        std::string strTarget;
        // The found name as one path component; a path that does not fit the
        // 511-byte narrow or 512-character wide buffer fails, never cut.
        const std::string strWanted =
            QStringToNarrow(strFolder + "/") + MakeSafeFileName(node.szFileName);
        if (nRet == 0 &&
            (strWanted.size() > 511 || GetRealFileName(strWanted.c_str(), wszTarget, 512) != 0))
            nRet = ENAMETOOLONG;
        if (nRet == 0) {
            strTarget = tw::WideToUtf8(wszTarget);
            ResetSaveFailureOrigin();
            // A fault while reading the medium leaves the file unread, not the program.
            volatile unsigned int nSaved = TW_ERR_SHORT_READ;
            TW_FAULT_TRY(g_saveGuard) {
                nSaved = pEngine->SaveFileData(&node, wszTarget, nLevelOffset);
            }
            TW_FAULT_CATCH(g_saveGuard) {}
            TW_FAULT_END(g_saveGuard);
            nRet = nSaved;
            bDestination = GetLastSaveFailureOrigin() == SAVE_FAILURE_DESTINATION;
        }
        const RECOVERY_FILE_RESULT result =
            SettleRecoveredFile(strTarget, nRet, bDestination, node.u64FileSize);
        emit RecoveryFile(nIndex, nTotal, strName, result.nOutcome,
                          QString::fromStdString(RecoveryReason(result)));
        if (nRet == TW_ERR_CANCELLED) break;
    }
    RecoveryCallBack(this, 100, 1000, 0, nullptr);
}
