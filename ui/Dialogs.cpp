#include "ui/Dialogs.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "ui/UiStyle.h"

namespace {

constexpr Qt::WindowFlags kFrameless = Qt::Dialog | Qt::FramelessWindowHint;

QLabel* MakePicture(const char* szImage, int nSide, QWidget* pParent) {
    auto* pLabel = new QLabel(pParent);
    pLabel->setPixmap(
        QPixmap(szImage).scaled(nSide, nSide, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    pLabel->setFixedSize(nSide, nSide);
    return pLabel;
}

QPushButton* MakeTextButton(const QString& strText, QWidget* pParent) {
    auto* pButton = new QPushButton(strText, pParent);
    pButton->setAccessibleName(strText);
    pButton->setObjectName(strText);
    pButton->setFlat(true);
    pButton->setMinimumSize(80, 28);
    pButton->setCursor(Qt::PointingHandCursor);
    pButton->setStyleSheet(
        "QPushButton{border: 1px solid rgb(170, 180, 195); border-radius: 3px; background: white;"
        " font: 13px Arial; padding: 2px 12px;} QPushButton:hover{background: rgb(225, 232, "
        "245);}");
    return pButton;
}

}  // namespace

CMessageBox::CMessageBox(QWidget* pParent) : QDialog(pParent, kFrameless) {
    setWindowTitle("Tarnwick");
    setStyleSheet("background-color: rgb(251, 252, 255);");
    new CWindowDragger(this);
}

void CMessageBox::InitQuestionDialog(const QString& strText, bool bInform) {
    auto* pMain = new QVBoxLayout(this);
    pMain->setContentsMargins(10, 6, 6, 10);
    pMain->setSpacing(6);

    auto* pHead = new QHBoxLayout;
    // A notice shows the information mark; only a question shows the question mark.
    pHead->addWidget(MakePicture(bInform ? ":/image/about.png" : ":/image/question.png", 22, this));
    auto* pHeading = new QLabel(bInform ? "Tarnwick" : "Question", this);
    pHeading->setStyleSheet("font: bold 13px Arial; color: rgb(40, 60, 90);");
    pHead->addWidget(pHeading, 1);
    QPushButton* pClose = MakeIconButton(":/image/close.png", "Close", 22, this);
    connect(pClose, &QPushButton::clicked, this, &CMessageBox::btnSlotNO);
    pHead->addWidget(pClose);
    pMain->addLayout(pHead);

    auto* pText = new QLabel(strText, this);
    pText->setObjectName("message");
    pText->setWordWrap(true);
    pText->setTextInteractionFlags(Qt::TextSelectableByMouse);
    pText->setAlignment(Qt::AlignCenter);
    pText->setStyleSheet("background-color: rgb(220, 220, 220); font: 13px Arial; padding: 6px;");
    pMain->addWidget(pText, 1);

    auto* pButtons = new QHBoxLayout;
    pButtons->addStretch(1);
    // Enter presses the default button: "OK", or "No" (which changes nothing).
    if (bInform) {
        QPushButton* pOk = MakeTextButton("OK", this);
        connect(pOk, &QPushButton::clicked, this, &CMessageBox::btnSlotOK);
        pButtons->addWidget(pOk);
        pOk->setDefault(true);
    } else {
        QPushButton* pNo = MakeTextButton("No", this);
        QPushButton* pYes = MakeTextButton("Yes", this);
        connect(pNo, &QPushButton::clicked, this, &CMessageBox::btnSlotNO);
        connect(pYes, &QPushButton::clicked, this, &CMessageBox::btnSlotOK);
        pButtons->addWidget(pNo);
        pButtons->addWidget(pYes);
        pNo->setDefault(true);
    }
    pMain->addLayout(pButtons);
}

void CMessageBox::btnSlotOK() {
    m_nRet = 1;
    close();
}

void CMessageBox::btnSlotNO() {
    m_nRet = 0;
    close();
}

int CMessageBox::Run(QWidget* pOwner, const QString& strText, bool bInform) {
    CMessageBox box(pOwner);
    box.InitQuestionDialog(strText, bInform);
    // 400 x 150 at least; a longer message makes the box taller, never cut.
    box.setFixedWidth(420);
    box.setMinimumHeight(150);
    box.adjustSize();
    if (pOwner) {
        const QRect rect = pOwner->frameGeometry();
        box.move(rect.topLeft() + QPoint(rect.width() / 8, rect.height() / 8));
    }
    box.exec();
    return box.GetMessageBoxRet();
}

int CMessageBox::Ask(QWidget* pOwner, const QString& strText) {
    return Run(pOwner, strText, false);
}

void CMessageBox::Inform(QWidget* pOwner, const QString& strText) {
    Run(pOwner, strText, true);
}

CDetail::CDetail(QWidget* pParent) : QDialog(pParent, kFrameless) {
    setWindowTitle("Tarnwick");
    setFixedSize(760, 400);
    setStyleSheet("background-color: rgb(251, 252, 255);");
    new CWindowDragger(this);

    auto* pMain = new QVBoxLayout(this);
    pMain->setContentsMargins(10, 6, 6, 10);
    auto* pHead = new QHBoxLayout;
    m_pTitle = new QLabel(this);
    m_pTitle->setObjectName("detailTitle");
    m_pTitle->setStyleSheet("font: bold 13px Arial; color: rgb(40, 60, 90);");
    pHead->addWidget(m_pTitle, 1);
    QPushButton* pClose = MakeIconButton(":/image/close.png", "Close", 24, this);
    connect(pClose, &QPushButton::clicked, this, &CDetail::btnSlot);
    pHead->addWidget(pClose, 0, Qt::AlignTop);
    pMain->addLayout(pHead);

    m_pTable = new QTableWidget(0, 3, this);
    m_pTable->setAccessibleName("Recovered files");
    m_pTable->setHorizontalHeaderLabels({"Name", "Status", "Reason"});
    m_pTable->setColumnWidth(0, 220);
    m_pTable->setColumnWidth(1, 70);
    m_pTable->setTabKeyNavigation(false);
    m_pTable->horizontalHeader()->setStretchLastSection(true);
    m_pTable->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_pTable->verticalHeader()->setVisible(false);
    m_pTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pTable->setStyleSheet("background: white;");
    pMain->addWidget(m_pTable, 1);
    UpdateTitle();
}

void CDetail::AddTableItem(const QString& strName, int nFailed) {
    AddResult(strName, nFailed ? RECOVERY_FAILED : RECOVERY_RECOVERED, QString());
}

void CDetail::AddResult(const QString& strName, RECOVERY_OUTCOME nOutcome,
                        const QString& strReason) {
    // Failures on top, then files saved in part, newest first; successes at
    // the bottom in the order saved.
    int nRow = m_pTable->rowCount();
    if (nOutcome == RECOVERY_FAILED) nRow = 0;
    if (nOutcome == RECOVERY_PARTIAL) nRow = m_nCounts[RECOVERY_FAILED];
    m_pTable->insertRow(nRow);
    m_pTable->setItem(nRow, 0, new QTableWidgetItem(strName));
    auto* pStatus = new QTableWidgetItem(RecoveryOutcomeWord(nOutcome));
    if (nOutcome == RECOVERY_FAILED) pStatus->setForeground(QColor(255, 0, 0));
    if (nOutcome == RECOVERY_PARTIAL) pStatus->setForeground(QColor(200, 110, 0));
    m_pTable->setItem(nRow, 1, pStatus);
    auto* pReason = new QTableWidgetItem(strReason);
    pReason->setToolTip(strReason);
    m_pTable->setItem(nRow, 2, pReason);
    m_pTable->setRowHeight(nRow, 22);
    ++m_nCounts[nOutcome];
    UpdateTitle();
}

QString CDetail::CountsText() const {
    return QString::fromStdString(FormatRecoveryCounts(
        m_nCounts[RECOVERY_RECOVERED], m_nCounts[RECOVERY_PARTIAL], m_nCounts[RECOVERY_FAILED]));
}

void CDetail::UpdateTitle() {
    m_pTitle->setText("  Recovery detail\n  " + CountsText());
}

void CDetail::btnSlot() {
    close();
}
