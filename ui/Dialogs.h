// The small frameless dialogs: the question (and message) box, and the list of
// saved files a recovery leaves behind.
#pragma once

#include <QDialog>
#include <QString>

#include "engine/RecoveryOutcome.h"

class QLabel;
class QTableWidget;

class CMessageBox : public QDialog {
    Q_OBJECT
public:
    explicit CMessageBox(QWidget* pParent = nullptr);

    // The question form: heading "Question", the message on a grey band, "No"
    // and "Yes". With bInform the form says something instead and has one
    // "OK" button.
    void InitQuestionDialog(const QString& strText, bool bInform);
    int GetMessageBoxRet() const { return m_nRet; }

    // Asks strText in a 400 x 150 box placed an eighth of pOwner's size from
    // its top-left corner; 1 for "Yes", 0 otherwise.
    static int Ask(QWidget* pOwner, const QString& strText);
    // Says strText the same way, with one "OK" button.
    static void Inform(QWidget* pOwner, const QString& strText);

public slots:
    void btnSlotOK();
    void btnSlotNO();

private:
    static int Run(QWidget* pOwner, const QString& strText, bool bInform);
    int m_nRet = 0;
};

class CDetail : public QDialog {
    Q_OBJECT
public:
    explicit CDetail(QWidget* pParent = nullptr);

    // A failure goes on top in red, a success at the bottom.
    void AddTableItem(const QString& strName, int nFailed);
    // One saved file with its outcome and, unless recovered, why.
    void AddResult(const QString& strName, RECOVERY_OUTCOME nOutcome, const QString& strReason);
    int Count(RECOVERY_OUTCOME nOutcome) const { return m_nCounts[nOutcome]; }
    // "3 recovered, 1 partial, 2 failed".
    QString CountsText() const;

public slots:
    void btnSlot();

private:
    void UpdateTitle();

    QLabel* m_pTitle;
    QTableWidget* m_pTable;
    int m_nCounts[3] = {};  // by RECOVERY_OUTCOME
};
