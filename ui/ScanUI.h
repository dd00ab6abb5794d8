// The modal progress dialog behind every job: what the job is doing, its
// progress, and the cancel question. A recovery also counts the files done,
// ends with a summary of what was recovered, saved in part or lost and why,
// offers the detail list and opens the destination folder.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>

class CDetail;
class IJobHost;
class QLabel;
class QProgressBar;
class QPushButton;

class SCANUI : public QDialog {
    Q_OBJECT
public:
    explicit SCANUI(QWidget* pParent = nullptr,
                    Qt::WindowFlags flags = Qt::Dialog | Qt::FramelessWindowHint);
    ~SCANUI() override;

    // Binds the dialog to the window's job of the given operation
    // (IJobHost::OP_*), builds its widgets and connects the job's reports.
    void InitSlot(IJobHost* pWindow, int nOprType);
    void SetSaveDir(const QString& strDir) { m_strSaveDir = strDir; }
    CDetail* Detail() const { return m_pDetail; }

    int m_nOprType = 0;
    bool m_bIsFinished = false;
    QProgressBar* m_progressBar = nullptr;
    int m_nError = 0;

public slots:
    void ScanProcessCallBackSlot(int nProgress, int nPercent, int nRemaindSecond,
                                 QString u64CurSectorStr, QString u64SectorCountStr,
                                 QString u64FindFileCountStr, QString pRecoveryFileName);
    void RecoveryCallBackSlot(int nProgress, int nPercent, int nErrorCode,
                              QString pRecoveryFileName);
    // One file of a recovery: started (nOutcome -1) or ended with a
    // RECOVERY_OUTCOME and, unless recovered, its reason.
    void RecoveryFileSlot(int nIndex, int nTotal, QString strName, int nOutcome, QString strReason);
    void SearchCallBackSlot(int nProgress, QString pRecoveryFileName);
    void PreViewCallBackSlot(int nProgress, int nRet);
    // The job has returned: a dialog still waiting for its completion report
    // closes (a recovery shows its summary), so no dialog is left hanging.
    void JobEndedSlot(int nOperation);
    void btnSlot();
    void btnDetail();
    void btnOpenFolder();
    // Escape asks the cancel question like every other way of closing.
    void reject() override;

protected:
    void closeEvent(QCloseEvent* pEvent) override;

private:
    void InitDialog();
    void Finish();
    void ShowRecoverySummary();
    void SetStatus(const QString& strText);

    IJobHost* m_pWindow = nullptr;
    QLabel* m_pTitle = nullptr;
    QLabel* m_pStatus = nullptr;
    QPushButton* m_pBtnCancel = nullptr;
    QString m_strCurrentName;
    QString m_strSaveDir;
    CDetail* m_pDetail;
    // The recovery: files done of how many, and the first reasons to show.
    int m_nFile = 0;
    int m_nFiles = 0;
    QStringList m_lstProblems;
};
