#include "ui/ScanUI.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "common/Helpers.h"
#include "ui/DRUI.h"
#include "ui/Dialogs.h"
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

}  // namespace

SCANUI::SCANUI(QWidget* pParent, Qt::WindowFlags flags)
    : QDialog(pParent, flags), m_pDetail(new CDetail(this)) {
    setFixedSize(500, 250);
    setWindowTitle("Tarnwick");
    setStyleSheet("background-color: rgb(251, 252, 255);");
    new CWindowDragger(this);
}

SCANUI::~SCANUI() = default;

void SCANUI::InitSlot(DRUI* pWindow, int nOprType) {
    m_pWindow = pWindow;
    m_nOprType = nOprType;
    m_bIsFinished = false;
    InitDialog();
    m_progressBar->setValue(0);
    m_pStatus->setText(nOprType == DRUI::OP_SCAN
                           ? "  Current Process: 0%\n  Estimated Time Left: 0 second\n"
                           : "");
    connect(pWindow, &DRUI::ScanProcessCallBack, this, &SCANUI::ScanProcessCallBackSlot);
    connect(pWindow, qOverload<int, int, int, QString>(&DRUI::RecoveryCallBack), this,
            &SCANUI::RecoveryCallBackSlot);
    connect(pWindow, qOverload<int, QString>(&DRUI::SearchCallBack), this,
            &SCANUI::SearchCallBackSlot);
    connect(pWindow, &DRUI::PreViewCallBackForSlot, this, &SCANUI::PreViewCallBackSlot);
    connect(pWindow, &DRUI::JobEnded, this, &SCANUI::JobEndedSlot);
}

void SCANUI::InitDialog() {
    auto* pMain = new QVBoxLayout(this);
    pMain->setContentsMargins(14, 10, 14, 14);
    pMain->setSpacing(8);

    QString strTitle;
    switch (m_nOprType) {
        case DRUI::OP_SCAN:
            strTitle = "  Scan File\n  scanning drive for deleted files";
            break;
        case DRUI::OP_SEARCH:
            strTitle = "  Search File\n  searching drive for deleted files";
            break;
        case DRUI::OP_PREVIEW:
            strTitle = QString("  Preview File\n  %1\n").arg(m_pWindow->CurrentFileName());
            break;
        default:
            strTitle = "  Recovery File\n";
            break;
    }
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
    m_pStatus->setAccessibleName("Status");
    m_pStatus->setStyleSheet("font: 13px Arial; color: rgb(50, 55, 65);");
    m_pStatus->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    pMain->addWidget(m_pStatus, 1);

    auto* pButtons = new QHBoxLayout;
    pButtons->addStretch(1);
    if (m_nOprType == DRUI::OP_RECOVERY) {
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

void SCANUI::ScanProcessCallBackSlot(int nProgress, int nPercent, int nRemaindSecond,
                                     QString u64CurSectorStr, QString u64SectorCountStr,
                                     QString u64FindFileCountStr, QString pRecoveryFileName) {
    if (m_nOprType != DRUI::OP_SCAN) return;
    const long long llProduct = static_cast<long long>(nProgress) * nPercent;
    const int nOverall = static_cast<int>(llProduct / 100);
    m_progressBar->setValue(nOverall);
    m_strCurrentName = pRecoveryFileName;
    QString strTime = "Estimated time is calculating";
    if (nPercent == 90) {
        if (nRemaindSecond != -1)
            strTime =
                "Estimated Time Left: " + QString::fromStdString(GetTimeString(nRemaindSecond));
        m_pStatus->setText(
            QString("  Current Process: %1%\n  Reading Sector: %2/%3\n  Total "
                    "Files Found: %4\n  %5\n")
                .arg(nOverall)
                .arg(u64CurSectorStr, u64SectorCountStr, u64FindFileCountStr, strTime));
    } else {
        m_pStatus->setText(QString("  Current Process: %1%\n  %2\n").arg(nOverall).arg(strTime));
    }
    if (llProduct >= 10000 && llProduct < 10100) Finish();
    m_nError = 0;
}

void SCANUI::RecoveryCallBackSlot(int nProgress, int nPercent, int nErrorCode,
                                  QString pRecoveryFileName) {
    if (m_nOprType != DRUI::OP_RECOVERY) return;
    const int nOverall = static_cast<int>(static_cast<long long>(nProgress) * nPercent / 100);
    m_progressBar->setValue(qBound(0, nOverall, 100));
    m_strCurrentName = pRecoveryFileName;
    if (nProgress == 100 && nPercent == 1000) {
        m_bIsFinished = true;
        m_pBtnCancel->setText("Finished");
        m_pBtnCancel->setAccessibleName("Finished");
        return;
    }
    if (nProgress == 100) m_pDetail->AddTableItem(pRecoveryFileName, nErrorCode != 0);
    m_pStatus->setText(QString("  Process: %1%\n  Destination: %2")
                           .arg(qBound(0, nOverall, 100))
                           .arg(pRecoveryFileName));
}

void SCANUI::SearchCallBackSlot(int nProgress, QString pRecoveryFileName) {
    if (m_nOprType != DRUI::OP_SEARCH) return;
    m_progressBar->setValue(nProgress);
    m_strCurrentName = pRecoveryFileName;
    m_pStatus->setText(
        QString("  Process: %1%\n  Searching drive for recovery files").arg(nProgress));
    if (nProgress == 100 && m_pWindow->IsJobDone(DRUI::OP_SEARCH)) Finish();
}

void SCANUI::PreViewCallBackSlot(int nProgress, int nRet) {
    (void)nRet;
    if (m_nOprType != DRUI::OP_PREVIEW) return;
    m_progressBar->setValue(nProgress);
    m_pStatus->setText(QString("  Process: %1%\n  Previewing file:%2")
                           .arg(nProgress)
                           .arg(m_pWindow->CurrentFileName()));
    if (nProgress == 100) Finish();
}

void SCANUI::JobEndedSlot(int nOperation) {
    if (nOperation != m_nOprType || !isVisible()) return;
    if (m_nOprType == DRUI::OP_RECOVERY) {
        if (!m_bIsFinished) RecoveryCallBackSlot(100, 1000, 0, QString());
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
    m_pDetail->move(frameGeometry().topLeft());
    m_pDetail->setFixedSize(600, 400);
    m_pDetail->exec();
}

void SCANUI::btnOpenFolder() {
    QDesktopServices::openUrl(QUrl::fromLocalFile(m_strSaveDir));
}

void SCANUI::closeEvent(QCloseEvent* pEvent) {
    if (m_bIsFinished) {
        pEvent->accept();
        return;
    }
    static const char* const kQuestions[] = {
        "", "Are you sure to cancel the scanning?", "Are you sure to cancel the searching?",
        "Are you sure to cancel the previewing?", "Are you sure to cancel the recoverying?"};
    const bool bAsk = !(m_nOprType == DRUI::OP_RECOVERY && m_pBtnCancel->text() == "Finished");
    if (bAsk && m_nOprType >= 1 && m_nOprType <= 4 &&
        CMessageBox::Ask(this, kQuestions[m_nOprType]) == 0) {
        pEvent->ignore();
        return;
    }
    m_pWindow->RequestStop(m_nOprType);
    while (!m_pWindow->IsJobDone(m_nOprType)) rsb_msleep(100);
    m_progressBar->setValue(0);
    pEvent->accept();
}

void SCANUI::mousePressEvent(QMouseEvent* pEvent) {
    if (pEvent->button() == Qt::RightButton) {
        close();
        return;
    }
    QDialog::mousePressEvent(pEvent);
}
