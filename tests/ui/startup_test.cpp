// Start-up of the desktop application: the debug log, and the real program run
// as a user runs it (offscreen): its window, "Out.txt", "Log.txt", the sweep.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPixmap>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <unistd.h>

#include <utility>
#include <vector>

#include "TarnwickVersion.h"
#include "common/DebugLog.h"
#include "ui/StartUp.h"

namespace {

QByteArray ReadAll(const QString& strPath) {
    QFile file(strPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void Touch(const QString& strPath) {
    QFile file(strPath);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(strPath));
    file.write("x");
}

// A ScanLog folder holding preview files and entries that must stay.
void FillScanLog(const QString& strScanLog) {
    QDir().mkpath(strScanLog + "/1");
    QDir().mkpath(strScanLog + "/tmp.dir");
    for (const char* szName : {"tmp.jpg", "tmp.png", "prev_tmp.bmp", "config", "tmp", "Fast_1"})
        Touch(strScanLog + "/" + szName);
    Touch(strScanLog + "/1/tmp.jpg");
}

// A pkexec stand-in that records how it was called.
QString MakeFakePkexec(const QString& strDir, const QString& strRecord) {
    QString strPath = strDir + "/pkexec";
    QFile file(strPath);
    if (!file.open(QIODevice::WriteOnly)) return QString();
    file.write(
        QString("#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > '%1'\n"
                "[ \"$FAKE_PKEXEC_STATUS\" = 127 ] && echo 'No authentication agent found.' >&2\n"
                "exit ${FAKE_PKEXEC_STATUS:-0}\n")
            .arg(strRecord)
            .toUtf8());
    file.close();
    file.setPermissions(QFile::Permissions(0x7055));  // rwxr-xr-x
    return strPath;
}

struct Run {
    int nExitCode;
    QByteArray stdErr, stdOut;
};

// Starts the program as a user would, waits for it to end.
Run RunTarnwick(const QStringList& args, const QString& strWorkDir, const QProcessEnvironment& env,
                const QString& strProgram = TW_TARNWICK_PATH, const QStringList& prefixArgs = {}) {
    QProcess process;
    process.setWorkingDirectory(strWorkDir);
    process.setProcessEnvironment(env);
    process.start(strProgram, prefixArgs + args);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return {-1, "timed out", {}};
    }
    if (process.exitStatus() != QProcess::NormalExit)
        return {-2, process.readAllStandardError(), {}};
    return {process.exitCode(), process.readAllStandardError(), process.readAllStandardOutput()};
}

}  // namespace

class StartUpTest : public QObject {
    Q_OBJECT

private slots:
    void logHasOneDebugLinePerMessageAndDropsTheRest() {
        QTemporaryDir dir;
        const QString strOld = QDir::currentPath();
        QDir::setCurrent(dir.path());
        QtMessageHandler previous = qInstallMessageHandler(customMessageHandler);
        tw::SetLogSink(ForwardCoreDebugLine);
        qDebug("first");
        qDebug("inner_initUnicodeMap failed\n");
        qWarning("a warning");
        qCritical("an error");
        TwDebug("lseek failed %lld\n", 123456789012LL);
        qDebug() << "two"
                 << "parts";
        // Threads log at once: every line stays whole.
        std::vector<QThread*> threads;
        for (int t = 0; t < 4; ++t) {
            threads.push_back(QThread::create([t] {
                for (int i = 0; i < 50; ++i) qDebug("thread %d message %d", t, i);
            }));
            threads.back()->start();
        }
        for (QThread* pThread : threads) {
            pThread->wait();
            delete pThread;
        }
        tw::SetLogSink(nullptr);
        qInstallMessageHandler(previous);
        const QList<QByteArray> lines = ReadAll("Log.txt").split('\n');
        QDir::setCurrent(strOld);

        QCOMPARE(lines.size(), 4 + 200 + 1);
        QCOMPARE(lines.mid(0, 4),
                 QList<QByteArray>({"Debug: first", "Debug: inner_initUnicodeMap failed",
                                    "Debug: lseek failed 123456789012", "Debug: two parts"}));
        QVERIFY(lines.last().isEmpty());
        const QRegularExpression threadLine("^Debug: thread \\d message \\d+$");
        for (int i = 4; i < 204; ++i)
            QVERIFY2(threadLine.match(QString::fromUtf8(lines[i])).hasMatch(),
                     lines[i].constData());
    }

    // The real program shows its window; once closed, "Out.txt" is gone, the
    // log holds only debug lines and the preview files are swept.
    void programShowsItsWindowAndCleansUp() {
        QTemporaryDir work, support, bin;
        const QString strScanLog = support.path() + "/ScanLog";
        const QString strCalled = bin.path() + "/called";
        QVERIFY(!MakeFakePkexec(bin.path(), strCalled).isEmpty());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PATH", bin.path() + ":" + env.value("PATH"));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("TARNWICK_SUPPORT_DIR", support.path());
        env.insert("TARNWICK_UI_TEST_CLOSE_MS", "200");
        env.insert("QT_LOGGING_RULES", "qt.qpa.*=true");  // Qt's own debug messages

        QList<QStringList> runs{{"start"}};
        if (geteuid() == 0) runs << QStringList{};
        QDir().mkpath(TW_SHOT_DIR);
        for (const QStringList& args : runs) {
            const QString strShot = QString(TW_SHOT_DIR "/startup_window_%1%2.png")
                                        .arg(args.size())
                                        .arg(qEnvironmentVariable("TW_SHOT_SUFFIX"));
            QFile::remove(strShot);
            env.insert("TARNWICK_UI_TEST_SNAPSHOT", strShot);
            FillScanLog(strScanLog);
            QFile::remove(work.filePath("Log.txt"));

            QCOMPARE(RunTarnwick(args, work.path(), env).nExitCode, 0);
            QVERIFY2(QFile::exists(strShot), "the window was not shown");
            QVERIFY(!QFile::exists(strCalled));
            QVERIFY(!QFile::exists(work.filePath("Out.txt")));
            const QByteArray log = ReadAll(work.filePath("Log.txt"));
            QVERIFY(!log.isEmpty());
            QVERIFY(log.endsWith('\n'));
            for (const QByteArray& line : log.trimmed().split('\n'))
                QVERIFY2(line.startsWith("Debug: ") && line.size() > 7, line.constData());
            QCOMPARE(
                QDir(strScanLog).entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name),
                (QStringList{"1", "Fast_1", "config", "tmp"}));
            // Sub-folders are not descended into.
            QVERIFY(QFile::exists(strScanLog + "/1/tmp.jpg"));
        }
    }
    // Without any display, --version answers, a start fails with one line and
    // an unknown argument gets the usage and status 2.
    void answersOnTheTerminalWithoutAWindow() {
        QTemporaryDir work;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* szName : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(szName);
        Run run = RunTarnwick({"--version"}, work.path(), env);
        QCOMPARE(run.nExitCode, 0);
        QCOMPARE(run.stdOut, QByteArray("tarnwick " TARNWICK_VERSION "\n"));
        run = RunTarnwick({"start"}, work.path(), env);
        QCOMPARE(run.nExitCode, 1);
        QVERIFY(run.stdErr.startsWith("tarnwick: no display") && run.stdErr.count('\n') == 1);
        for (const QStringList& args : {QStringList{"--whatever"}, QStringList{"start", "two"}}) {
            run = RunTarnwick(args, work.path(), env);
            QCOMPARE(run.nExitCode, 2);
            QVERIFY2(run.stdErr.startsWith("tarnwick: unknown argument '" + args[0].toUtf8() +
                                           "'\nUsage: tarnwick [start]"),
                     run.stdErr.constData());
        }
    }

    void everyImageOfTheBundleLoads() {
        QStringList paths;
        for (const QString& strName :
             QString("physical_drive drive photo music video document archive other scan_files "
                     "recover_file about support help close minimize question")
                 .split(' '))
            paths << QString(":/image/%1.png").arg(strName);
        const QStringList icons =
            QString(
                "7z accdb ace acid aiff asf at3 au avi bmp cab chm divx doc dss dv epson exe gif "
                "gzip html ico indd jar jpg mamiya mid minolta mov mp3 mp4 mpeg music ods ogg one "
                "other pdf png ppt psd psp rar real rmvb rps thm tif tod txt vob wma wmv wps xls "
                "xml zip audio_default default image office_default photo_default video_default")
                .split(' ');
        for (const QString& strIcon : icons)
            paths << QString(":/image/FileIcon/%1.png").arg(strIcon);
        for (const QString& strPath : paths) {
            QPixmap pixmap(strPath);
            QVERIFY2(!pixmap.isNull(), qPrintable(strPath));
        }
        // Icons are drawn, not blank: the close cross has ink in its centre.
        QImage cross(":/image/close.png");
        QVERIFY(qAlpha(cross.pixel(32, 32)) > 200);
        QVERIFY(qAlpha(cross.pixel(2, 32)) == 0);
    }

    // The installed program is relaunched by itself (its polkit action); others
    // through env with the display and the program's variables only.
    void pkexecRunsTheInstalledProgramDirectly() {
        QProcessEnvironment env;
        env.insert("DISPLAY", ":1");
        env.insert("UNRELATED_SECRET", "x");
        const QString strExe = TARNWICK_INSTALLED_PROGRAM;
        QCOMPARE(PkexecArguments(strExe, env, "/w"), QStringList({strExe, "start"}));
        QCOMPARE(PkexecArguments("/opt/tw", env, "/w"),
                 QStringList({"/usr/bin/env", "-C", "/w", "DISPLAY=:1", "/opt/tw", "start"}));
        env.insert("TARNWICK_DISK_DIR", "/d");
        QCOMPARE(PkexecArguments(strExe, env, "/w").value(4), QString("TARNWICK_DISK_DIR=/d"));
    }

    // Without rights the program relaunches itself through pkexec, shows nothing.
    void userRelaunchesThroughPkexec() {
        // The tests run as root (make test), as the program does; setpriv
        // comes with util-linux.
        QVERIFY2(geteuid() == 0, "needs root to run the program as another user");
        QVERIFY2(!QStandardPaths::findExecutable("setpriv").isEmpty(), "setpriv is missing");
        QTemporaryDir work, bin;
        for (QTemporaryDir* pDir : {&work, &bin})
            QFile::setPermissions(pDir->path(), QFile::Permissions(0x7777));
        QString strRecord = bin.path() + "/called";
        QVERIFY(!MakeFakePkexec(bin.path(), strRecord).isEmpty());
        QFile::setPermissions(bin.path(), QFile::Permissions(0x7777));
        QProcessEnvironment env;
        env.insert("PATH", bin.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("ASAN_OPTIONS", "detect_leaks=0");
        env.insert("TARNWICK_SUPPORT_DIR", "/nonexistent/support");
        env.insert("TARNWICK_UI_TEST_SNAPSHOT", work.filePath("shown.png"));
        QStringList asNobody{"--reuid=65534", "--regid=65534", "--clear-groups", TW_TARNWICK_PATH};
        QString strSetpriv = QStandardPaths::findExecutable("setpriv");

        {
            QFile::remove(strRecord);
            Run run = RunTarnwick({}, work.path(), env, strSetpriv, asNobody);
            if (run.nExitCode == 126 || run.stdErr.contains("Permission denied"))
                QSKIP("the program cannot be run as another user here");
            QCOMPARE(run.nExitCode, 0);
            // The launcher waits for pkexec (which needs its parent alive).
            QStringList called = QString::fromUtf8(ReadAll(strRecord)).trimmed().split('\n');
            QCOMPARE(called.mid(called.size() - 2), QStringList({TW_TARNWICK_PATH, "start"}));
            QCOMPARE(QFileInfo(called.value(2)).canonicalFilePath(),
                     QFileInfo(work.path()).canonicalFilePath());
            QVERIFY(called.contains("TARNWICK_SUPPORT_DIR=/nonexistent/support"));
            QVERIFY(called.contains("QT_QPA_PLATFORM=offscreen"));
            QVERIFY(!QFile::exists(work.filePath("shown.png")));
        }

        // A dismissed dialog (126) ends quietly; refused rights or no agent
        // to ask (127) say how to run the program, in a message and on
        // standard error, and fail; so does a missing pkexec.
        env.insert("TARNWICK_UI_TEST_CLOSE_MS", "300");
        const QString strShot = work.filePath("no_rights.png");
        env.insert("TARNWICK_UI_TEST_SNAPSHOT", strShot);
        for (auto [nPkexec, nLauncher] : {std::pair{126, 0}, {127, 1}, {3, 3}}) {
            env.insert("FAKE_PKEXEC_STATUS", QString::number(nPkexec));
            Run run = RunTarnwick({}, work.path(), env, strSetpriv, asNobody);
            QCOMPARE(run.nExitCode, nLauncher);
            QCOMPARE(run.stdErr.contains("sudo tarnwick start"), nPkexec == 127);
        }
        const QString strKept = QString(TW_SHOT_DIR "/startup_no_rights%1.png")
                                    .arg(qEnvironmentVariable("TW_SHOT_SUFFIX"));
        QFile::remove(strKept);
        QVERIFY(QFile::copy(strShot, strKept));
        QFile::remove(bin.path() + "/pkexec");
        Run run = RunTarnwick({}, work.path(), env, strSetpriv, asNobody);
        QCOMPARE(run.nExitCode, 1);
        QVERIFY2(run.stdErr.contains("pkexec is not installed"), run.stdErr.constData());
    }
};

QTEST_MAIN(StartUpTest)
#include "startup_test.moc"
