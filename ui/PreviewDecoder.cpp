#include "ui/PreviewDecoder.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QBuffer>
#include <QImageReader>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/Platform.h"

extern char** environ;

namespace {

// A request: "TWPD", box width and height, PICTURE_FIT, byte count, bytes.
// An answer: 0 and the width and height of the picture, then its pixels
// (QImage::Format_ARGB32, 4 bytes each, row after row); or 1, 0, 0.
constexpr uint32_t kMagic = 0x44505754;  // "TWPD"
constexpr uint32_t kMaxSide = 16384;
constexpr uint32_t kMaxBox = 4096;
constexpr int kTimeoutMs = 20000;

struct RequestHeader {
    uint32_t nMagic, nBoxWidth, nBoxHeight, nFit;
    uint64_t u64Bytes;
};
struct AnswerHeader {
    uint32_t nStatus, nWidth, nHeight;
};

using Clock = std::chrono::steady_clock;

// Waits until fd can be read (bRead) or written, at most until the deadline
// (none: as long as it takes).
bool WaitFor(int fd, bool bRead, const Clock::time_point* pDeadline) {
    for (;;) {
        int nWaitMs = -1;
        if (pDeadline) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(*pDeadline - Clock::now());
            if (left.count() <= 0) return false;
            nWaitMs = static_cast<int>(left.count());
        }
        struct pollfd pfd = {fd, static_cast<short>(bRead ? POLLIN : POLLOUT), 0};
        const int n = poll(&pfd, 1, nWaitMs);
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

// Sends or receives exactly nBytes over the socket; false at its end, on an
// error or past the deadline. A peer that is gone makes a send fail, not
// raise SIGPIPE.
bool Transfer(int fd, void* pData, size_t nBytes, bool bReceive,
              const Clock::time_point* pDeadline) {
    char* p = static_cast<char*>(pData);
    while (nBytes > 0) {
        if (!WaitFor(fd, bReceive, pDeadline)) return false;
        const ssize_t n = bReceive ? recv(fd, p, nBytes, 0) : send(fd, p, nBytes, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        nBytes -= static_cast<size_t>(n);
    }
    return true;
}

bool Send(int fd, const void* pData, size_t nBytes, const Clock::time_point* pDeadline) {
    return Transfer(fd, const_cast<void*>(pData), nBytes, false, pDeadline);
}

QImage DecodeFitted(QByteArray& data, QSize box, uint32_t nFit) {
    QBuffer buffer(&data);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);  // EXIF orientation
    const QSize stored = reader.size();
    // A thumbnail needs no more than twice its box from the decoder (JPEG
    // decodes smaller much faster); the box is square, so turning later
    // changes nothing.
    if (nFit == PICTURE_FIT_BOX && stored.isValid() &&
        (stored.width() > 2 * box.width() || stored.height() > 2 * box.height()))
        reader.setScaledSize(stored.scaled(2 * box, Qt::KeepAspectRatio));
    QImage image = reader.read();
    if (image.isNull()) return image;
    const bool bFit = nFit == PICTURE_FIT_BOX
                          ? image.width() > box.width() || image.height() > box.height()
                          : image.width() > box.width();
    if (bFit) image = image.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image.convertToFormat(QImage::Format_ARGB32);
}

}  // namespace

CPictureDecoder::CPictureDecoder(const QString& strProgram) : m_program(strProgram.toLocal8Bit()) {}

CPictureDecoder::~CPictureDecoder() {
    Stop();
}

bool CPictureDecoder::Start() {
    if (m_fd >= 0) return true;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    char szOption[] = "--decode-pictures";
    char* argv[] = {m_program.data(), szOption, nullptr};
    const int nErr = posix_spawn(&m_nPid, m_program.constData(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (nErr != 0) {
        close(fds[0]);
        m_nPid = -1;
        return false;
    }
    m_fd = fds[0];
    return true;
}

void CPictureDecoder::Stop() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
    if (m_nPid > 0) {
        kill(m_nPid, SIGKILL);
        while (waitpid(m_nPid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    m_nPid = -1;
}

bool CPictureDecoder::Decode(const QByteArray& data, QSize box, PICTURE_FIT nFit, QImage& image) {
    image = QImage();
    if (data.isEmpty() || data.size() > kMaxPictureBytes || box.isEmpty() ||
        static_cast<uint32_t>(box.width()) > kMaxBox ||
        static_cast<uint32_t>(box.height()) > kMaxBox)
        return false;
    if (!Start()) return false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kTimeoutMs);
    const RequestHeader request = {kMagic, static_cast<uint32_t>(box.width()),
                                   static_cast<uint32_t>(box.height()), static_cast<uint32_t>(nFit),
                                   static_cast<uint64_t>(data.size())};
    AnswerHeader answer;
    if (!Send(m_fd, &request, sizeof(request), &deadline) ||
        !Send(m_fd, data.constData(), static_cast<size_t>(data.size()), &deadline) ||
        !Transfer(m_fd, &answer, sizeof(answer), true, &deadline)) {
        Stop();
        return false;
    }
    if (answer.nStatus != 0) return false;
    // The helper may be in the hands of crafted data: what it answers is
    // checked against what was asked before a byte of it is used.
    const uint32_t nMaxWidth = static_cast<uint32_t>(box.width());
    const uint32_t nMaxHeight =
        nFit == PICTURE_FIT_BOX ? static_cast<uint32_t>(box.height()) : kMaxSide;
    if (answer.nWidth == 0 || answer.nHeight == 0 || answer.nWidth > nMaxWidth ||
        answer.nHeight > nMaxHeight) {
        Stop();
        return false;
    }
    QImage received(static_cast<int>(answer.nWidth), static_cast<int>(answer.nHeight),
                    QImage::Format_ARGB32);
    if (received.isNull() ||
        !Transfer(m_fd, received.bits(), static_cast<size_t>(received.sizeInBytes()), true,
                  &deadline)) {
        Stop();
        return false;
    }
    image = received;
    return true;
}

int RunPictureDecoder() {
    if (!tw::DropRootForGood()) return 1;
    for (;;) {
        RequestHeader request;
        // Standard input and output are the two ends of one socket.
        if (!Transfer(0, &request, sizeof(request), true, nullptr)) return 0;  // the end
        if (request.nMagic != kMagic || request.nBoxWidth == 0 || request.nBoxHeight == 0 ||
            request.nBoxWidth > kMaxBox || request.nBoxHeight > kMaxBox || request.u64Bytes == 0 ||
            request.u64Bytes > static_cast<uint64_t>(kMaxPictureBytes))
            return 1;
        QByteArray data(static_cast<qsizetype>(request.u64Bytes), Qt::Uninitialized);
        if (!Transfer(0, data.data(), static_cast<size_t>(data.size()), true, nullptr)) return 1;
        const QImage image = DecodeFitted(
            data, QSize(static_cast<int>(request.nBoxWidth), static_cast<int>(request.nBoxHeight)),
            request.nFit);
        const bool bOk = !image.isNull() && static_cast<uint32_t>(image.height()) <= kMaxSide;
        const AnswerHeader answer = {bOk ? 0u : 1u, bOk ? static_cast<uint32_t>(image.width()) : 0u,
                                     bOk ? static_cast<uint32_t>(image.height()) : 0u};
        if (!Send(1, &answer, sizeof(answer), nullptr)) return 0;
        if (bOk && !Send(1, image.constBits(), static_cast<size_t>(image.sizeInBytes()), nullptr))
            return 0;
    }
}
