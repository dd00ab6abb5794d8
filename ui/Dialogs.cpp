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
    pText->setAccessibleName(strText);
    pText->setWordWrap(true);
    pText->setAlignment(Qt::AlignCenter);
    pText->setStyleSheet("background-color: rgb(220, 220, 220); font: 13px Arial; padding: 6px;");
    pMain->addWidget(pText, 1);

    auto* pButtons = new QHBoxLayout;
    pButtons->addStretch(1);
    if (bInform) {
        QPushButton* pOk = MakeTextButton("OK", this);
        connect(pOk, &QPushButton::clicked, this, &CMessageBox::btnSlotOK);
        pButtons->addWidget(pOk);
    } else {
        QPushButton* pNo = MakeTextButton("No", this);
        QPushButton* pYes = MakeTextButton("Yes", this);
        connect(pNo, &QPushButton::clicked, this, &CMessageBox::btnSlotNO);
        connect(pYes, &QPushButton::clicked, this, &CMessageBox::btnSlotOK);
        pButtons->addWidget(pNo);
        pButtons->addWidget(pYes);
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
    box.setFixedSize(400, 150);
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
    setFixedSize(600, 400);
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

    m_pTable = new QTableWidget(0, 2, this);
    m_pTable->setAccessibleName("Recovered files");
    m_pTable->setHorizontalHeaderLabels({"Name", "Status"});
    m_pTable->setColumnWidth(0, 400);
    m_pTable->setColumnWidth(1, 300);
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
    const int nRow = nFailed ? 0 : m_pTable->rowCount();
    m_pTable->insertRow(nRow);
    m_pTable->setItem(nRow, 0, new QTableWidgetItem(strName));
    auto* pStatus = new QTableWidgetItem(nFailed ? "Failed" : "Success");
    if (nFailed) pStatus->setForeground(QColor(255, 0, 0));
    m_pTable->setItem(nRow, 1, pStatus);
    m_pTable->setRowHeight(nRow, 22);
    ++(nFailed ? m_nFailed : m_nSuccess);
    UpdateTitle();
}

void CDetail::UpdateTitle() {
    m_pTitle->setText(
        QString::asprintf("  Recovery Detail\n  Sucess:%d Failed:%d\n", m_nSuccess, m_nFailed));
}

void CDetail::btnSlot() {
    close();
}
