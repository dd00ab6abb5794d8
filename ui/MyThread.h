// The worker thread of the application's jobs: runs one job function with its
// context, then ends.
#pragma once

#include <QThread>

class CMyThread : public QThread {
    Q_OBJECT
public:
    using JobFunc = void (*)(void* pContext, int& nResult);

    explicit CMyThread(QObject* pParent = nullptr);
    void SetFunc(JobFunc pfnJob, void* pContext);

signals:
    void ProcessCallBack(int nProcess);

protected:
    void run() override;

private:
    JobFunc m_pfnJob = nullptr;
    void* m_pContext = nullptr;
};
