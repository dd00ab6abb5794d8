#include "ui/PreviewWorker.h"

#include "common/FaultGuard.h"
#include "common/Helpers.h"
#include "common/TextPreview.h"
#include "engine/Categories.h"
#include "engine/RecoveryOutcome.h"
#include "engine/ScanResultFileManager.h"
#include "ui/PreviewDecoder.h"

namespace {

// The bytes shown of a file that is not a picture (and of a picture that
// cannot be shown).
constexpr size_t kTextBytes = 10240;

CFaultGuard g_previewGuard("recvSignal");

QString SizeText(uint64_t u64Bytes) {
    return QString::fromStdString(FormatSize(u64Bytes));
}

// Text or a hexadecimal dump of the bytes; strWhy says why a picture is not
// shown.
PREVIEW_RESULT TextOrHex(const QByteArray& data, uint64_t u64FileSize, bool bGb18030,
                         const QString& strWhy) {
    PREVIEW_RESULT result;
    const auto* pData = reinterpret_cast<const unsigned char*>(data.constData());
    const size_t nBytes = static_cast<size_t>(data.size());
    const bool bWhole = nBytes >= u64FileSize;
    const QString strPart =
        bWhole ? QString()
               : QString(", the first %1 of %2").arg(SizeText(nBytes), SizeText(u64FileSize));
    std::string strText;
    const PREVIEW_TEXT_KIND nKind =
        strWhy.isEmpty() ? DecodePreviewText(pData, nBytes, bWhole, bGb18030, strText)
                         : PREVIEW_BINARY;
    if (nKind == PREVIEW_BINARY) {
        result.nKind = PREVIEW_RESULT::KIND_HEX;
        result.strText = QString::fromStdString(FormatHexDump(pData, nBytes));
        result.strCaption = "Hexadecimal" + strPart + strWhy;
        return result;
    }
    static const char* const kNames[] = {"UTF-8", "GB18030", "Latin-1"};
    result.nKind = PREVIEW_RESULT::KIND_TEXT;
    result.strText = QString::fromUtf8(strText.data(), static_cast<qsizetype>(strText.size()));
    result.strCaption = QString("Text (%1)").arg(kNames[nKind]) + strPart;
    return result;
}

PREVIEW_RESULT Message(const QString& strText) {
    PREVIEW_RESULT result;
    result.strText = strText;
    return result;
}

}  // namespace

CPreviewWorker::CPreviewWorker(std::mutex& engineMutex, const QString& strDecoder, bool bGb18030,
                               QObject* pParent)
    : QObject(pParent),
      m_engineMutex(engineMutex),
      m_pDecoder(new CPictureDecoder(strDecoder)),
      m_bGb18030(bGb18030) {
    qRegisterMetaType<PREVIEW_RESULT>("PREVIEW_RESULT");
}

CPreviewWorker::~CPreviewWorker() {
    Stop();
}

void CPreviewWorker::Start(IFileRecoveryParse* pEngine, PFN_PREVIEW_CALLBACK pfnPreview,
                           void* pContext, std::atomic<bool>* pPreviewDone) {
    Stop();
    m_pEngine = pEngine;
    m_pfnPreview = pfnPreview;
    m_pContext = pContext;
    m_pPreviewDone = pPreviewDone;
    m_bQuit = false;
    m_bStopping = false;
    m_thread = std::thread(&CPreviewWorker::Run, this);
}

void CPreviewWorker::RequestPreview(quint64 nSerial, const _FILE_NODE_& node) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bHasPreview = true;
    m_nPreviewSerial = nSerial;
    m_nLatestSerial = nSerial;
    m_previewNode = node;
    m_wake.notify_one();
}

void CPreviewWorker::RequestThumbnail(int nFile, const _FILE_NODE_& node) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // A long scroll asks for many: the ones asked for long ago are no longer shown.
    if (m_deqThumbnails.size() >= 256) m_deqThumbnails.pop_front();
    m_deqThumbnails.push_back({nFile, node});
    m_wake.notify_one();
}

void CPreviewWorker::DropThumbnails() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_deqThumbnails.clear();
}

void CPreviewWorker::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bQuit = true;
        m_bHasPreview = false;
        m_deqThumbnails.clear();
        m_bStopping = true;
        m_wake.notify_one();
    }
    if (m_thread.joinable()) m_thread.join();
    m_pEngine = nullptr;
}

int CPreviewWorker::PreviewProgress(void* pContext, int nPercent, int nError) {
    auto* pThis = static_cast<CPreviewWorker*>(pContext);
    // A newer preview, or the end, stops this one.
    if (pThis->m_bStopping || pThis->m_nLatestSerial != pThis->m_nRunningSerial) return 1;
    return pThis->m_pfnPreview ? pThis->m_pfnPreview(pThis->m_pContext, nPercent, nError) : 0;
}

int CPreviewWorker::ThumbnailProgress(void* pContext, int, int) {
    return static_cast<CPreviewWorker*>(pContext)->m_bStopping ? 1 : 0;
}

void CPreviewWorker::Run() {
    // The decoder starts at once: the first picture does not wait for it.
    m_pDecoder->Start();
    for (;;) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.wait(lock, [this] { return m_bQuit || m_bHasPreview || !m_deqThumbnails.empty(); });
        if (m_bQuit) return;
        if (m_bHasPreview) {
            m_bHasPreview = false;
            const quint64 nSerial = m_nPreviewSerial;
            const _FILE_NODE_ node = m_previewNode;
            m_nRunningSerial = nSerial;
            lock.unlock();
            const PREVIEW_RESULT result = MakePreview(node);
            emit PreviewReady(nSerial, result);
            lock.lock();
            if (!m_bHasPreview && m_pPreviewDone) *m_pPreviewDone = true;
            continue;
        }
        const THUMBNAIL_ASK ask = m_deqThumbnails.back();
        m_deqThumbnails.pop_back();
        lock.unlock();
        const QImage image = MakeThumbnail(ask.node);
        if (!m_bStopping) emit ThumbnailReady(ask.nFile, image);
    }
}

unsigned int CPreviewWorker::ReadStart(const _FILE_NODE_& node, size_t nWanted, bool bPreview,
                                       QByteArray& data) {
    data.resize(static_cast<qsizetype>(nWanted));
    int nLength = static_cast<int>(nWanted);
    volatile unsigned int nRet = TW_ERR_SHORT_READ;
    std::lock_guard<std::mutex> lock(m_engineMutex);
    if (!m_pEngine) return TW_ERR_BAD_ARGUMENT;
    // A fault inside the engine abandons this file, never the application:
    // the guard is armed on this thread only.
    TW_FAULT_TRY(g_previewGuard) {
        nRet = m_pEngine->PreView(&node, nullptr, reinterpret_cast<unsigned char*>(data.data()),
                                  nLength, bPreview ? &PreviewProgress : &ThumbnailProgress, this);
    }
    TW_FAULT_CATCH(g_previewGuard) {
        nLength = 0;
    }
    TW_FAULT_END(g_previewGuard);
    data.resize(std::max(0, std::min(nLength, static_cast<int>(nWanted))));
    return nRet;
}

PREVIEW_RESULT CPreviewWorker::MakePreview(const _FILE_NODE_& node) {
    if (node.bIsDir) return Message("A folder: its files are listed beside it.");
    if (node.u64FileSize == 0) return Message("This file is empty.");
    const bool bPicture = IsExtensionInTypeList(NodeExtension(node), szPictureTypeList);
    const bool bFits = node.u64FileSize <= static_cast<uint64_t>(kMaxPictureBytes);
    const size_t nWanted = bPicture && bFits ? static_cast<size_t>(node.u64FileSize)
                                             : std::min<size_t>(kTextBytes, node.u64FileSize);
    QByteArray data;
    const unsigned int nRet = ReadStart(node, nWanted, true, data);
    if (m_bStopping || m_nLatestSerial != m_nRunningSerial) return Message("Preview stopped.");
    if (data.isEmpty())
        return Message(
            QString("The file could not be read: %1.")
                .arg(QString::fromStdString(DescribeResult(nRet ? nRet : TW_ERR_SHORT_READ))));
    if (!bPicture) return TextOrHex(data, node.u64FileSize, m_bGb18030, QString());
    PREVIEW_RESULT result;
    if (bFits && m_pDecoder->Decode(data, QSize(kPreviewWidth, kPreviewHeight), PICTURE_FIT_WIDE,
                                    result.image)) {
        result.nKind = PREVIEW_RESULT::KIND_PICTURE;
        result.strCaption = "Picture";
        return result;
    }
    return TextOrHex(data.left(static_cast<qsizetype>(kTextBytes)), node.u64FileSize, m_bGb18030,
                     bFits ? QString(": this picture cannot be shown")
                           : QString(": this picture is too large to show"));
}

QImage CPreviewWorker::MakeThumbnail(const _FILE_NODE_& node) {
    if (node.u64FileSize == 0 || node.u64FileSize > static_cast<uint64_t>(kMaxPictureBytes))
        return QImage();
    QByteArray data;
    ReadStart(node, static_cast<size_t>(node.u64FileSize), false, data);
    QImage image;
    if (!data.isEmpty() && !m_bStopping)
        m_pDecoder->Decode(data, QSize(kThumbnailSide, kThumbnailSide), PICTURE_FIT_BOX, image);
    return image;
}
