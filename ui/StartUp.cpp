#include "ui/StartUp.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/DebugLog.h"
#include "common/Helpers.h"
#include "TarnwickVersion.h"
#include "common/Platform.h"
#include "ui/DRUI.h"
#include "ui/Dialogs.h"

#ifdef __APPLE__
#include <Security/Authorization.h>
#else
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#endif

namespace {

constexpr char kLogFile[] = "Log.txt";
constexpr char kOutFile[] = "Out.txt";

QMutex g_logMutex;

// Test hooks: a picture of the window, and closing it after a while.
void ArmTestHooks(QWidget& window) {
    QString strShot = qEnvironmentVariable("TARNWICK_UI_TEST_SNAPSHOT");
    if (!strShot.isEmpty())
        QTimer::singleShot(0, &window, [&window, strShot] { window.grab().save(strShot, "PNG"); });
    bool bOk = false;
    int nCloseMs = qEnvironmentVariableIntValue("TARNWICK_UI_TEST_CLOSE_MS", &bOk);
    if (bOk && nCloseMs >= 0) QTimer::singleShot(nCloseMs, &window, &QWidget::close);
}

#ifndef __APPLE__
// Why the program cannot go on, on standard error and in a message box.
void SayCannotStart(const QString& strText) {
    fprintf(stderr, "tarnwick: %s\n", qPrintable(strText));
    CMessageBox box;
    box.InitQuestionDialog(strText, true);
    box.setFixedWidth(460);
    box.adjustSize();
    ArmTestHooks(box);
    box.exec();
}

const char kHowToRun[] =
    "Reading disks needs administrator rights. Start Tarnwick from a desktop session, where "
    "pkexec asks for the password, or in a terminal as root: sudo tarnwick start";
#endif

}  // namespace

void customMessageHandler(QtMsgType type, const QMessageLogContext& /*context*/,
                          const QString& msg) {
    if (type != QtDebugMsg) return;
    // One message, one line: a message's own line ends are not doubled.
    QString strText = msg;
    while (strText.endsWith('\n') || strText.endsWith('\r')) strText.chop(1);
    strText.replace('\n', ' ');
    QByteArray line = QString("Debug: %1\n").arg(strText).toUtf8();
    QMutexLocker lock(&g_logMutex);
    // Never through a link planted in the working directory: this may run as root.
    int fd = tw::OpenPlainFileForWriting(kLogFile, O_APPEND);
    if (fd < 0) return;
    for (qsizetype nDone = 0; nDone < line.size();) {
        ssize_t n = write(fd, line.constData() + nDone, static_cast<size_t>(line.size() - nDone));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        nDone += n;
    }
    close(fd);
}

void ForwardCoreDebugLine(const char* szLine) {
    qDebug("%s", szLine);
}

bool DeleteTmpFile(const char* szPath) {
    if (!szPath) return false;
    int dirFd = open(szPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return false;
    DIR* pDir = fdopendir(dirFd);
    if (!pDir) {
        close(dirFd);
        qDebug("open dir failed\n");
        return false;
    }
    // Names are taken relative to the open folder: the working directory and
    // the log file in it stay where they are.
    while (struct dirent* pEntry = readdir(pDir)) {
        const char* szName = pEntry->d_name;
        if (strcmp(szName, ".") == 0 || strcmp(szName, "..") == 0) continue;
        if (!strstr(szName, "tmp.")) continue;
        if (unlinkat(dirFd, szName, 0) != 0 && (errno == EISDIR || errno == EPERM))
            unlinkat(dirFd, szName, AT_REMOVEDIR);
    }
    closedir(pDir);
    return true;
}

int RunPrivilegedInstance(QApplication& app) {
    int outFd = tw::OpenPlainFileForWriting(kOutFile, 0);
    if (outFd >= 0) dup2(outFd, STDERR_FILENO);
    if (inner_initUnicodeMap("UTF-8") != 0) qDebug("inner_initUnicodeMap failed\n");

    int nResult;
    {
        DRUI window;
        window.Init();
        window.show();
        ArmTestHooks(window);
        nResult = app.exec();
        DeleteTmpFile(tw::ScanLogDir().c_str());
        if (outFd >= 0) close(outFd);
        unlink(kOutFile);
    }
    (void)nResult;
    return 0;
}

#ifdef __APPLE__

bool HasAdministratorRights() {
    return false;
}

int RelaunchWithAdministratorRights(const QString& strExecutable) {
    QByteArray path = strExecutable.toUtf8();
    AuthorizationRef authRef = nullptr;
    if (AuthorizationCreate(nullptr, kAuthorizationEmptyEnvironment, kAuthorizationFlagDefaults,
                            &authRef) != errAuthorizationSuccess)
        return 0;
    AuthorizationItem right = {kAuthorizationRightExecute, 0, nullptr, 0};
    AuthorizationRights rights = {1, &right};
    AuthorizationFlags flags = kAuthorizationFlagInteractionAllowed |
                               kAuthorizationFlagExtendRights | kAuthorizationFlagPreAuthorize;
    if (AuthorizationCopyRights(authRef, &rights, nullptr, flags, nullptr) !=
        errAuthorizationSuccess) {
        AuthorizationFree(authRef, kAuthorizationFlagDestroyRights);
        return 0;
    }
    char szStart[] = "start";
    char* argv[] = {szStart, nullptr};
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
    AuthorizationExecuteWithPrivileges(authRef, path.constData(), kAuthorizationFlagDefaults, argv,
                                       nullptr);
#pragma clang diagnostic pop
    AuthorizationFree(authRef, kAuthorizationFlagDestroyRights);
    return 0;
}

#else

bool HasAdministratorRights() {
    return geteuid() == 0;
}

QStringList PkexecArguments(const QString& strExecutable, const QProcessEnvironment& env,
                            const QString& strWorkDir) {
    static const QStringList kDisplay{"DISPLAY",         "XAUTHORITY",      "WAYLAND_DISPLAY",
                                      "XDG_RUNTIME_DIR", "QT_QPA_PLATFORM", "LANG"};
    QStringList carried;
    bool bOwnVariables = false;
    for (const QString& strName : env.keys()) {
        bool bOwn = strName.startsWith("TARNWICK_") || strName == "QT_QPA_PLATFORM";
        bOwnVariables = bOwnVariables || bOwn;
        if (bOwn || kDisplay.contains(strName)) carried << strName + "=" + env.value(strName);
    }
    // The installed program is named by its polkit action: pkexec shows that
    // action's dialog and keeps the display (allow_gui).
    if (strExecutable == TARNWICK_INSTALLED_PROGRAM && !bOwnVariables)
        return {strExecutable, "start"};
    // pkexec clears the environment and the working directory: hand on the
    // display, the program's own variables and where "Log.txt" belongs.
    return QStringList{"/usr/bin/env", "-C", strWorkDir} + carried +
           QStringList{strExecutable, "start"};
}

int RelaunchWithAdministratorRights(const QString& strExecutable) {
    QString strPkexec = QStandardPaths::findExecutable("pkexec");
    if (strPkexec.isEmpty()) {
        SayCannotStart(QString("pkexec is not installed, so Tarnwick cannot ask for administrator "
                               "rights. Run it as root: sudo %1 start")
                           .arg(strExecutable));
        return 1;
    }
    // pkexec asks polkit about its parent process, so the launcher stays until
    // pkexec ends: a parent gone early makes pkexec refuse to run anything.
    QProcess pkexec;
    // Its complaints are read, to be told to the user.
    pkexec.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    pkexec.setInputChannelMode(QProcess::ForwardedInputChannel);
    pkexec.start(strPkexec, PkexecArguments(strExecutable, QProcessEnvironment::systemEnvironment(),
                                            QDir::currentPath()));
    if (!pkexec.waitForStarted(-1)) {
        fprintf(stderr, "tarnwick: could not start %s\n", qPrintable(strPkexec));
        return 1;
    }
    pkexec.waitForFinished(-1);
    const QString strSaid = QString::fromLocal8Bit(pkexec.readAllStandardError()).trimmed();
    if (!strSaid.isEmpty()) fprintf(stderr, "%s\n", qPrintable(strSaid));
    if (pkexec.exitStatus() != QProcess::NormalExit) return 1;
    // 126: the user dismissed the password dialog, and knows. 127: the rights
    // were refused or could not be asked for (no authentication agent): say
    // how to run the program instead of ending without a word.
    int nStatus = pkexec.exitCode();
    if (nStatus == 126) return 0;
    if (nStatus == 127) {
        SayCannotStart(QString(kHowToRun) +
                       (strSaid.isEmpty() ? QString() : QString("\n\npkexec: %1").arg(strSaid)));
        return 1;
    }
    return nStatus;
}

#endif
