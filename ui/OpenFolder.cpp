#include "ui/OpenFolder.h"

#include <pwd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QWidget>

#include "common/Platform.h"
#include "ui/Dialogs.h"

namespace {

#ifdef __APPLE__
constexpr char kOpener[] = "open";
#else
constexpr char kOpener[] = "xdg-open";
#endif

// What the user's session needs to reach their desktop from a process that
// pkexec or sudo started: the display, their home and their session bus.
QProcessEnvironment UserEnvironment(const tw::FsUser& user, const struct passwd& pw) {
    const QProcessEnvironment mine = QProcessEnvironment::systemEnvironment();
    QProcessEnvironment env;
    for (const char* szName : {"DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "LANG", "PATH",
                               "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS"})
        if (mine.contains(szName)) env.insert(szName, mine.value(szName));
    env.insert("HOME", QString::fromLocal8Bit(pw.pw_dir));
    env.insert("USER", QString::fromLocal8Bit(pw.pw_name));
    env.insert("LOGNAME", QString::fromLocal8Bit(pw.pw_name));
    const QString strRuntime = env.value("XDG_RUNTIME_DIR", QString("/run/user/%1").arg(user.nUid));
    if (QFileInfo::exists(strRuntime)) env.insert("XDG_RUNTIME_DIR", strRuntime);
    if (!env.contains("DBUS_SESSION_BUS_ADDRESS") && QFileInfo::exists(strRuntime + "/bus"))
        env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + strRuntime + "/bus");
    return env;
}

}  // namespace

bool OpenFolderForUser(const QString& strDir, QObject* pOwner, QString& strWhy) {
    const QString strOpener = QStandardPaths::findExecutable(kOpener);
    if (strOpener.isEmpty()) {
        strWhy = QString(
                     "%1 cannot be opened here: %2 is not installed. The recovered files "
                     "are in that folder.")
                     .arg(strDir, kOpener);
        return false;
    }
    // Owned by the application: closing the dialog must not kill the opener.
    auto* pProcess = new QProcess(QCoreApplication::instance());
    const QPointer<QWidget> pMessageOwner = qobject_cast<QWidget*>(pOwner);
    pProcess->setProgram(strOpener);
    pProcess->setArguments({strDir});
    if (geteuid() == 0) {
        const tw::FsUser user = tw::RequestingFsUser();
        const struct passwd* pPw = user.bSet ? getpwuid(user.nUid) : nullptr;
        if (!pPw) {
            delete pProcess;
            strWhy = QString(
                         "Tarnwick runs as root and cannot tell which user started it, so it "
                         "opens no file manager (one running as root could change any file). "
                         "The recovered files are in %1.")
                         .arg(strDir);
            return false;
        }
        pProcess->setProcessEnvironment(UserEnvironment(user, *pPw));
        // Between fork and exec: system calls only.
        pProcess->setChildProcessModifier([user] {
            if (!tw::BecomeUserForGood(user)) _exit(126);
        });
    }
    QObject::connect(
        pProcess, &QProcess::finished, pProcess,
        [pProcess, pMessageOwner, strDir, strOpener](int nExit, QProcess::ExitStatus nStatus) {
            pProcess->deleteLater();
            if (nStatus == QProcess::NormalExit && nExit == 0) return;
            CMessageBox::Inform(pMessageOwner,
                                QString("%1 could not open %2 (exit status %3). The recovered "
                                        "files are in that folder.")
                                    .arg(strOpener, strDir)
                                    .arg(nExit));
        });
    pProcess->start();
    if (!pProcess->waitForStarted(5000)) {
        strWhy = QString("%1 could not be started: %2").arg(strOpener, pProcess->errorString());
        delete pProcess;
        return false;
    }
    return true;
}
