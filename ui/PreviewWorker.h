// Reads found files for the preview and the thumbnails on a thread of its
// own, so the window never waits on the medium: the preview asked for last
// comes first (an earlier one still running is stopped), thumbnails after it,
// the one asked for last first. Every engine call holds the engine lock that
// the window's jobs hold too, so the engine serves one caller at a time.
// Pictures are decoded by the decoder process (PreviewDecoder.h).
#pragma once

#include <QImage>
#include <QMetaType>
#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/IFileRecoveryParse.h"

class CPictureDecoder;

// What the preview area shows for one file.
struct PREVIEW_RESULT {
    enum Kind { KIND_PICTURE, KIND_TEXT, KIND_HEX, KIND_MESSAGE };
    Kind nKind = KIND_MESSAGE;
    QImage image;
    QString strText;     // the text, the hexadecimal dump or the message
    QString strCaption;  // what is shown: "Text (UTF-8)", "Picture, 1200 x 800 pixels", ...
};
Q_DECLARE_METATYPE(PREVIEW_RESULT)

class CPreviewWorker : public QObject {
    Q_OBJECT
public:
    // strDecoder: the program run as the picture decoder. bGb18030: the
    // user's locale reads text as GB18030.
    CPreviewWorker(std::mutex& engineMutex, const QString& strDecoder, bool bGb18030,
                   QObject* pParent = nullptr);
    ~CPreviewWorker() override;

    // Starts the thread over the engine. Previews report to pfnPreview (a
    // non-zero answer stops one); *pPreviewDone is set once the preview
    // asked for last has been made.
    void Start(IFileRecoveryParse* pEngine, PFN_PREVIEW_CALLBACK pfnPreview, void* pContext,
               std::atomic<bool>* pPreviewDone);
    // Asks for a file's preview, in place of any earlier one.
    void RequestPreview(quint64 nSerial, const _FILE_NODE_& node);
    void RequestThumbnail(int nFile, const _FILE_NODE_& node);
    // Forgets the thumbnails asked for and not yet made.
    void DropThumbnails();
    // Stops the thread: what is asked for is dropped, the call running
    // stopped through its callback. The engine may be deleted afterwards.
    void Stop();

signals:
    void PreviewReady(quint64 nSerial, PREVIEW_RESULT result);
    // A null image: no thumbnail can be made for that file.
    void ThumbnailReady(int nFile, QImage image);

private:
    struct THUMBNAIL_ASK {
        int nFile;
        _FILE_NODE_ node;
    };
    void Run();
    PREVIEW_RESULT MakePreview(const _FILE_NODE_& node);
    QImage MakeThumbnail(const _FILE_NODE_& node);
    // The first bytes of the file (at most nWanted) through the engine.
    unsigned int ReadStart(const _FILE_NODE_& node, size_t nWanted, bool bPreview,
                           QByteArray& data);
    static int PreviewProgress(void* pContext, int nPercent, int nError);
    static int ThumbnailProgress(void* pContext, int nPercent, int nError);

    std::mutex& m_engineMutex;
    std::unique_ptr<CPictureDecoder> m_pDecoder;
    const bool m_bGb18030;
    IFileRecoveryParse* m_pEngine = nullptr;
    PFN_PREVIEW_CALLBACK m_pfnPreview = nullptr;
    void* m_pContext = nullptr;
    std::atomic<bool>* m_pPreviewDone = nullptr;

    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_bQuit = false;
    bool m_bHasPreview = false;
    quint64 m_nPreviewSerial = 0;
    _FILE_NODE_ m_previewNode{};
    std::deque<THUMBNAIL_ASK> m_deqThumbnails;
    // Read by the engine callbacks while a call runs.
    std::atomic<bool> m_bStopping{false};
    std::atomic<quint64> m_nLatestSerial{0};
    std::atomic<quint64> m_nRunningSerial{0};
};
