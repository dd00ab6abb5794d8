// What a job's progress dialog needs of the window that runs the job: the
// reports it follows (as signals), the stop handshake, and the name of the
// file at hand. The window implements it; the dialog knows nothing else of
// the window, so the two never include each other.
#pragma once

#include <QObject>
#include <QString>

// The reports of the job that runs, relayed from the worker thread.
class CJobReports : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

signals:
    void ScanProcessCallBack(int nProgress, int nPercent, int nRemaindSecond,
                             QString u64CurSectorStr, QString u64SectorCountStr,
                             QString u64FindFileCountStr, QString pRecoveryFileName);
    void RecoveryCallBack(int nProgress, int nPercent, int nErrorCode, QString pRecoveryFileName);
    // One file of a recovery, the nIndex-th of nTotal: started (nOutcome -1),
    // or ended with a RECOVERY_OUTCOME and, unless recovered, the reason.
    void RecoveryFile(int nIndex, int nTotal, QString strName, int nOutcome, QString strReason);
    void SearchCallBack(int nProgress, QString pRecoveryFileName);
    void PreViewCallBackForSlot(int nProgress, int nRet);
    // A job function has returned (its done flag is set).
    void JobEnded(int nOperation);
};

class IJobHost {
public:
    // The job kinds; the progress dialog shows the same numbers.
    enum { OP_SCAN = 1, OP_SEARCH = 2, OP_PREVIEW = 3, OP_RECOVERY = 4 };

    virtual ~IJobHost() = default;
    virtual CJobReports& JobReports() = 0;
    virtual void RequestStop(int nOperation) = 0;
    virtual bool IsJobDone(int nOperation) const = 0;
    // The name of the file being previewed.
    virtual QString CurrentFileName() const = 0;
};
