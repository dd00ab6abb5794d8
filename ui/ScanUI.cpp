#include "ui/ScanUI.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "common/Helpers.h"
#include "engine/RecoveryOutcome.h"
#include "ui/Dialogs.h"
#include "ui/JobHost.h"
#include "ui/OpenFolder.h"
#include "ui/UiStyle.h"

namespace {

QPushButton* MakeDialogButton(const QString& strText, QWidget* pParent) {
    auto* pButton = new QPushButton(strText, pParent);
    pButton->setAccessibleName(strText);
    pButton->setObjectName(strText);
    pButton->setMinimumSize(100, 30);
    pButton->setCursor(Qt::PointingHandCursor);
    pButton->setStyleSheet(main_button_style);
    return pButton;
}

// Sectors of 512 bytes, as the scan reports them, in binary units.
QString SectorsAsSize(const QString& strSectors) {
    return QString::fromStdString(FormatSize(strSectors.toULongLong() * 512));
}

// How many reasons the dialog shows itself; the rest are in the detail list.
constexpr int kShownProblems = 3;

}  // namespace

SCANUI::SCANUI(QWidget* pParent, Qt::WindowFlags flags)
    : QDialog(pParent, flags), m_pDetail(new CDetail(this)) {
    setFixedSize(500, 250);
    setWindowTitle("Tarnwick");
    setStyleSheet("background-color: rgb(251, 252, 255);");
    new CWindowDragger(this);
}

SCANUI::~SCANUI() = default;

void SCANUI::InitSlot(IJobHost* pWindow, int nOprType) {
    m_pWindow = pWindow;
    m_nOprType = nOprType;
    m_bIsFinished = false;
    InitDialog();
    m_progressBar->setValue(0);
    // A preview's dialog comes only when reading takes a while: it says why.
    SetStatus(nOprType == IJobHost::OP_SCAN ? QString("Progress: 0%\nEstimating the time left\n")
              : nOprType == IJobHost::OP_PREVIEW
                  ? QString("Reading %1 from the medium...").arg(pWindow->CurrentFileName())
                  : QString());
    CJobReports* pReports = &pWindow->JobReports();
    connect(pReports, &CJobReports::ScanProcessCallBack, this, &SCANUI::ScanProcessCallBackSlot);
    connect(pReports, &CJobReports::RecoveryCallBack, this, &SCANUI::RecoveryCallBackSlot);
    connect(pReports, &CJobReports::RecoveryFile, this, &SCANUI::RecoveryFileSlot);
    connect(pReports, &CJobReports::SearchCallBack, this, &SCANUI::SearchCallBackSlot);
    connect(pReports, &CJobReports::PreViewCallBackForSlot, this, &SCANUI::PreViewCallBackSlot);
    connect(pReports, &CJobReports::JobEnded, this, &SCANUI::JobEndedSlot);
}

void SCANUI::InitDialog() {
    auto* pMain = new QVBoxLayout(this);
    pMain->setContentsMargins(14, 10, 14, 14);
    pMain->setSpacing(8);

    QString strTitle;
    switch (m_nOprType) {
        case IJobHost::OP_SCAN:
            strTitle = "  Scanning\n  Looking for deleted and lost files";
            break;
        case IJobHost::OP_SEARCH:
            strTitle = "  Listing the files found\n  Sorting them by kind";
            break;
        case IJobHost::OP_PREVIEW:
            strTitle = QString("  Preview\n  %1\n").arg(m_pWindow->CurrentFileName());
            break;
        default:
            strTitle = "  Recovering files\n";
            break;
    }
    // The labels whose text changes carry no fixed name: a screen reader says
    // their text as it stands.
    m_pTitle = new QLabel(strTitle, this);
    m_pTitle->setObjectName("title");
    m_pTitle->setStyleSheet("font: bold 14px Arial; color: rgb(40, 60, 90);");
    pMain->addWidget(m_pTitle);

    m_progressBar = new QProgressBar(this);
    m_progressBar->setAccessibleName("Progress");
    m_progressBar->setRange(0, 100);
    m_progressBar->setTextVisible(false);
    m_progressBar->setFixedHeight(14);
    m_progressBar->setStyleSheet(
        "QProgressBar{border: 1px solid rgb(190, 200, 215); border-radius: 3px; background: "
        "white;} QProgressBar::chunk{background-color: rgb(45, 120, 215);}");
    pMain->addWidget(m_progressBar);

    m_pStatus = new QLabel(this);
    m_pStatus->setObjectName("status");
    m_pStatus->setWordWrap(true);
    m_pStatus->setContentsMargins(8, 0, 0, 0);
    m_pStatus->setStyleSheet("font: 13px Arial; color: rgb(50, 55, 65);");
    m_pStatus->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    pMain->addWidget(m_pStatus, 1);

    auto* pButtons = new QHBoxLayout;
    pButtons->addStretch(1);
    if (m_nOprType == IJobHost::OP_RECOVERY) {
        QPushButton* pDetail = MakeDialogButton("Detail", this);
        QPushButton* pOpen = MakeDialogButton("Open Folder", this);
        connect(pDetail, &QPushButton::clicked, this, &SCANUI::btnDetail);
        connect(pOpen, &QPushButton::clicked, this, &SCANUI::btnOpenFolder);
        pButtons->addWidget(pDetail);
        pButtons->addWidget(pOpen);
    }
    m_pBtnCancel = MakeDialogButton("Cancel", this);
    connect(m_pBtnCancel, &QPushButton::clicked, this, &SCANUI::btnSlot);
    pButtons->addWidget(m_pBtnCancel);
    pMain->addLayout(pButtons);
}

void SCANUI::SetStatus(const QString& strText) {
    m_pStatus->setText(strText);
    // The bar's value as words too, for a screen reader.
    m_progressBar->setAccessibleDescription(QString("%1%").arg(m_progressBar->value()));
}

void SCANUI::ScanProcessCallBackSlot(int nProgress, int nPercent, int nRemaindSecond,
                                     QString u64CurSectorStr, QString u64SectorCountStr,
                                     QString u64FindFileCountStr, QString pRecoveryFileName) {
    if (m_nOprType != IJobHost::OP_SCAN) return;
    const long long llProduct = static_cast<long long>(nProgress) * nPercent;
    const int nOverall = static_cast<int>(llProduct / 100);
    m_progressBar->setValue(nOverall);
    m_strCurrentName = pRecoveryFileName;
    QString strTime = "Estimating the time left";
    if (nPercent == 90) {
        if (nRemaindSecond != -1)
            strTime = "Time left: " + QString::fromStdString(GetTimeString(nRemaindSecond));
        const qulonglong u64Found = u64FindFileCountStr.toULongLong();
        SetStatus(QString("Progress: %1%\nRead %2 of %3\n%4 %5 found\n%6\n")
                      .arg(nOverall)
                      .arg(SectorsAsSize(u64CurSectorStr), SectorsAsSize(u64SectorCountStr))
                      .arg(u64Found)
                      .arg(u64Found == 1 ? "file" : "files", strTime));
    } else {
        SetStatus(QString("Progress: %1%\n%2\n").arg(nOverall).arg(strTime));
    }
    if (llProduct >= 10000 && llProduct < 10100) Finish();
    m_nError = 0;
}

void SCANUI::RecoveryCallBackSlot(int nProgress, int nPercent, int nErrorCode,
                                  QString pRecoveryFileName) {
    (void)nErrorCode;
    if (m_nOprType != IJobHost::OP_RECOVERY || m_bIsFinished) return;
    if (nPercent == 1000) {
        ShowRecoverySummary();
        return;
    }
    // The bar runs over all files: those done, and the current one's part.
    if (m_nFiles > 0) {
        const int nFilePart = qBound(0, nProgress * nPercent / 100, 100);
        m_progressBar->setValue(((m_nFile - 1) * 100 + nFilePart) / m_nFiles);
    }
    if (!pRecoveryFileName.isEmpty()) m_strCurrentName = pRecoveryFileName;
}

void SCANUI::RecoveryFileSlot(int nIndex, int nTotal, QString strName, int nOutcome,
                              QString strReason) {
    if (m_nOprType != IJobHost::OP_RECOVERY || m_bIsFinished) return;
    m_nFile = nIndex;
    m_nFiles = nTotal;
    if (nOutcome < 0) {
        m_progressBar->setValue(nTotal > 0 ? (nIndex - 1) * 100 / nTotal : 0);
        SetStatus(QString("File %1 of %2\n%3\nInto: %4")
                      .arg(nIndex)
                      .arg(nTotal)
                      .arg(strName, m_strSaveDir));
        return;
    }
    const auto nResult = static_cast<RECOVERY_OUTCOME>(nOutcome);
    m_pDetail->AddResult(strName, nResult, strReason);
    if (nResult != RECOVERY_RECOVERED)
        m_lstProblems
            << QString("%1: %2 (%3)").arg(RecoveryOutcomeWord(nResult), strName, strReason);
}

void SCANUI::ShowRecoverySummary() {
    m_bIsFinished = true;
    const int nRecovered = m_pDetail->Count(RECOVERY_RECOVERED);
    const int nDone =
        nRecovered + m_pDetail->Count(RECOVERY_PARTIAL) + m_pDetail->Count(RECOVERY_FAILED);
    const bool bAllWell = m_lstProblems.isEmpty() && nDone == m_nFiles;
    // Only a recovery where every file came back whole shows a full bar and
    // "Finished"; otherwise the bar shows the share recovered.
    m_progressBar->setValue(m_nFiles > 0 ? nRecovered * 100 / m_nFiles : 0);
    QString strHeading = bAllWell           ? "  Recovery finished\n"
                         : nDone < m_nFiles ? "  Recovery stopped\n"
                                            : "  Recovery ended with problems\n";
    m_pTitle->setText(strHeading);
    QString strStatus = m_pDetail->CountsText();
    if (nDone < m_nFiles) strStatus += QString(", %1 not started").arg(m_nFiles - nDone);
    strStatus += "\nInto: " + m_strSaveDir;
    const QStringList lstShown = m_lstProblems.mid(0, kShownProblems);
    if (!lstShown.isEmpty()) strStatus += "\n" + lstShown.join('\n');
    if (m_lstProblems.size() > kShownProblems)
        strStatus +=
            QString("\nand %1 more under Detail").arg(m_lstProblems.size() - kShownProblems);
    SetStatus(strStatus);
    const QString strButton = bAllWell ? "Finished" : "Close";
    m_pBtnCancel->setText(strButton);
    m_pBtnCancel->setAccessibleName(strButton);
    m_pBtnCancel->setObjectName(strButton);
    // The summary may be longer than the dialog is tall.
    setMinimumSize(500, 250);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    adjustSize();
}

void SCANUI::SearchCallBackSlot(int nProgress, QString pRecoveryFileName) {
    if (m_nOprType != IJobHost::OP_SEARCH) return;
    m_progressBar->setValue(nProgress);
    m_strCurrentName = pRecoveryFileName;
    SetStatus(QString("Progress: %1%\nListing the files found by kind").arg(nProgress));
    if (nProgress == 100 && m_pWindow->IsJobDone(IJobHost::OP_SEARCH)) Finish();
}

void SCANUI::PreViewCallBackSlot(int nProgress, int nRet) {
    (void)nRet;
    if (m_nOprType != IJobHost::OP_PREVIEW) return;
    m_progressBar->setValue(nProgress);
    SetStatus(
        QString("Progress: %1%\nPreviewing %2").arg(nProgress).arg(m_pWindow->CurrentFileName()));
    if (nProgress == 100) Finish();
}

void SCANUI::JobEndedSlot(int nOperation) {
    if (nOperation != m_nOprType || !isVisible()) return;
    if (m_nOprType == IJobHost::OP_RECOVERY) {
        if (!m_bIsFinished) ShowRecoverySummary();
        return;
    }
    Finish();
}

void SCANUI::Finish() {
    m_bIsFinished = true;
    if (isVisible()) close();
}

void SCANUI::btnSlot() {
    close();
}

void SCANUI::reject() {
    close();
}

void SCANUI::btnDetail() {
    m_pDetail->setFixedSize(760, 400);
    // Centred over the main window: placed at this dialog's corner it ran past
    // the window's right edge.
    const QWidget* pMain = parentWidget() ? parentWidget()->window() : this;
    m_pDetail->move(pMain->frameGeometry().center() - QPoint(380, 200));
    m_pDetail->exec();
}

void SCANUI::btnOpenFolder() {
    QString strWhy;
    if (!OpenFolderForUser(m_strSaveDir, this, strWhy)) CMessageBox::Inform(this, strWhy);
}

void SCANUI::closeEvent(QCloseEvent* pEvent) {
    if (m_bIsFinished) {
        pEvent->accept();
        return;
    }
    static const char* const kQuestions[] = {
        "", "Stop the scan? The files found so far are still listed.",
        "Stop listing the files found?", "Stop the preview?",
        "Stop the recovery? Files saved so far stay in the destination."};
    if (m_nOprType >= 1 && m_nOprType <= 4 && CMessageBox::Ask(this, kQuestions[m_nOprType]) == 0) {
        pEvent->ignore();
        return;
    }
    m_pWindow->RequestStop(m_nOprType);
    while (!m_pWindow->IsJobDone(m_nOprType)) rsb_msleep(100);
    if (m_nOprType == IJobHost::OP_RECOVERY) {
        // What was saved before the stop stays on screen: the files' reports
        // still queued arrive, then the summary says "Recovery stopped".
        QCoreApplication::processEvents();
        if (!m_bIsFinished) ShowRecoverySummary();
        pEvent->ignore();
        return;
    }
    m_progressBar->setValue(0);
    pEvent->accept();
}
