// Start-up of the desktop application: the debug log, and the real program run
// as a user runs it (offscreen): its window, "Out.txt", "Log.txt", the sweep.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <unistd.h>

#include <vector>

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
        QCOMPARE(lines[0], QByteArray("Debug: first"));
        QCOMPARE(lines[1], QByteArray("Debug: inner_initUnicodeMap failed"));
        QCOMPARE(lines[2], QByteArray("Debug: lseek failed 123456789012"));
        QCOMPARE(lines[3], QByteArray("Debug: two parts"));
        QVERIFY(lines.last().isEmpty());
        for (int i = 4; i < 204; ++i)
            QVERIFY2(QRegularExpression("^Debug: thread \\d message \\d+$")
                         .match(QString::fromUtf8(lines[i]))
                         .hasMatch(),
                     lines[i].constData());
    }

    // The real program: with one argument it shows its window (a picture of it
    // is kept), and once the window closes "Out.txt" is gone, the log holds
    // only debug lines and the scan-log folder only what is not a preview
    // file. As root, no argument and two arguments do the same without asking.
    void programShowsItsWindowAndCleansUp() {
        QTemporaryDir work, support, bin;
        const QString strScanLog = support.path() + "/ScanLog";
        // A pkexec stand-in that records being called.
        const QString strCalled = bin.path() + "/called";
        {
            QFile pkexec(bin.path() + "/pkexec");
            QVERIFY(pkexec.open(QIODevice::WriteOnly));
            pkexec.write(QString("#!/bin/sh\necho \"$@\" > '%1'\n").arg(strCalled).toUtf8());
            pkexec.close();
            pkexec.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PATH", bin.path() + ":" + env.value("PATH"));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("TARNWICK_SUPPORT_DIR", support.path());
        env.insert("TARNWICK_UI_TEST_CLOSE_MS", "200");
        env.insert("QT_LOGGING_RULES", "qt.qpa.*=true");  // Qt's own debug messages

        QList<QStringList> runs{{"start"}, {"--whatever"}};
        if (geteuid() == 0) runs << QStringList{} << QStringList{"one", "two"};
        QDir().mkpath(TW_SHOT_DIR);
        for (const QStringList& args : runs) {
            const QString strShot = QString(TW_SHOT_DIR "/startup_window_%1.png").arg(args.size());
            QFile::remove(strShot);
            env.insert("TARNWICK_UI_TEST_SNAPSHOT", strShot);
            FillScanLog(strScanLog);
            QFile::remove(work.filePath("Log.txt"));

            QProcess process;
            process.setWorkingDirectory(work.path());
            process.setProcessEnvironment(env);
            process.start(TW_TARNWICK_PATH, args);
            QVERIFY2(process.waitForFinished(60000), "timed out");
            QCOMPARE(process.exitStatus(), QProcess::NormalExit);
            QCOMPARE(process.exitCode(), 0);
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
};

QTEST_MAIN(StartUpTest)
#include "startup_test.moc"
