#include "ui/MyThread.h"

CMyThread::CMyThread(QObject* pParent) : QThread(pParent) {}

void CMyThread::SetFunc(JobFunc pfnJob, void* pContext) {
    m_pfnJob = pfnJob;
    m_pContext = pContext;
}

void CMyThread::run() {
    if (!m_pfnJob) return;
    int nResult = 0;
    m_pfnJob(m_pContext, nResult);
}
