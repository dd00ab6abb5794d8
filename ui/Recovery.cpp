// Recovery to a destination folder: the "Recover" button, and the job that
// saves every selected file into a folder per kind under a name that
// overwrites nothing.
#include <QFileDialog>

#include <string>
#include <vector>

#include "common/DebugLog.h"
#include "common/FaultGuard.h"
#include "common/Helpers.h"
#include "common/Platform.h"
#include "engine/Categories.h"
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
    // Writing to the medium being recovered can overwrite the very files wanted.
    const std::string strSource = tw::ResolveDiskNode(m_partitionItem.nDiskNo);
    if (IsTargetOnSourceDevice(strSource.c_str(), strDir.toUtf8().constData())) {
        CMessageBox::Inform(this, QString("%1 lies on the device being scanned: writing there can "
                                          "overwrite the very files being recovered. Choose a "
                                          "folder on another disk.")
                                      .arg(strDir));
        return;
    }
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
    wchar_t wszTarget[512];
    // Everything is made below the destination, as the user the program runs
    // for (it runs as root after relaunching itself through pkexec or sudo).
    CSaveDestination dest;
    const unsigned int nDest =
        dest.Open(m_strSaveDir.toUtf8().toStdString(), tw::RequestingFsUser(), false);
    for (const _FILE_NODE_& node : files) {
        if (!pEngine) break;
        char szFolder[16];
        GetDirTypeByFileName(node.szFileName, szFolder);
        const QString strFolder = m_strSaveDir + "/" + szFolder;
        const unsigned int nFolder =
            nDest ? nDest : MakeTargetDirs(strFolder.toUtf8().toStdString(), nullptr);
        if (nFolder != 0) {
            std::wstring wstrName = strFolder.toStdWString();
            if (RecoveryCallBack(this, 100, 100, static_cast<int>(nFolder), wstrName.data()) != 0)
                break;
            continue;
        }
        // The found name as one path component; a path that does not fit the
        // 511-byte narrow or 512-character wide buffer fails, never cut.
        const std::string strWanted =
            QStringToNarrow(strFolder + "/") + MakeSafeFileName(node.szFileName);
        if (strWanted.size() > 511 || GetRealFileName(strWanted.c_str(), wszTarget, 512) != 0) {
            std::wstring wstrName = tw::NarrowToWide(strWanted.c_str());
            if (RecoveryCallBack(this, 100, 100, TW_ERR_BAD_ARGUMENT, wstrName.data()) != 0) break;
            continue;
        }
        volatile bool bCancelled = false;
        TW_FAULT_TRY(g_saveGuard) {
            const unsigned int nRet = pEngine->SaveFileData(&node, wszTarget, nLevelOffset);
            if (nRet == TW_ERR_CANCELLED) bCancelled = true;
        }
        TW_FAULT_CATCH(g_saveGuard) {}
        TW_FAULT_END(g_saveGuard);
        if (bCancelled) break;
    }
    RecoveryCallBack(this, 100, 1000, 0, nullptr);
}
