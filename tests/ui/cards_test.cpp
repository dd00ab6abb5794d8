// The application over real card images presented as disks, worked as a user
// works it: rows picked by keys, files ticked with Space, destinations that
// cannot take the files, the window made smaller. Every file recovered is
// compared with its original and every card is unchanged afterwards.
#include <unistd.h>

#include <QScreen>
#include <QTableWidget>
#include <QTemporaryDir>

#include <set>

#include "support/DiskImage.h"
#include "support/Fixtures.h"
#include "support/Mounts.h"
#include "support/ScanLogSandbox.h"
#include "UiDriver.h"

using namespace twui;

namespace {

std::string Original(const char* szName) {
    return ReadFileBytes(twtest::FixtureDir() + "/ui_card.files/" + szName);
}

}  // namespace

class CardsTest : public QObject {
    Q_OBJECT

    ScanLogSandbox* m_pSandbox = nullptr;
    twtest::TempDiskDir* m_pDisks = nullptr;
    twtest::CMounts* m_pMounts = nullptr;
    std::unique_ptr<DRUI> m_pWindow;

    QString Folder(const char* szName) {
        const QString strDir = QString::fromStdString(m_pSandbox->Root()) + "/" + szName;
        QDir().mkpath(strDir);
        return strDir;
    }
    // Disk 0 is the fixture image; its row is picked with the keys and Enter
    // scans it. The type tree of the results.
    QTreeWidget* ScanByKeys(const char* szImage, const QString& strRow) {
        const std::string strImage = twtest::FixtureImage(szImage);
        m_strSum = twtest::Sha1OfFile(strImage);
        if (!m_pDisks->AddDisk(0, strImage)) return nullptr;
        m_pWindow = ShowWindow();
        Click(Named<QPushButton>(m_pWindow.get(), "Start"));
        Shot(m_pWindow.get(), QString("page2_%1").arg(szImage));
        auto* pTree = Named<QTreeWidget>(m_pWindow.get(), "Devices");
        pTree->setFocus();
        // The focus lands on the first row; Space picks it.
        QTest::keyClick(pTree, Qt::Key_Space);
        if (pTree->currentItem()->text(0) != strRow) {
            qWarning() << pTree->currentItem()->text(0);
            return nullptr;
        }
        if (!Named<QPushButton>(m_pWindow.get(), "Scan")->isEnabled()) return nullptr;
        QTest::keyClick(pTree, Qt::Key_Return);
        auto* pTypes = Named<QTreeWidget>(m_pWindow.get(), "Types");
        return pTypes;
    }
    std::string m_strSum;

private slots:
    void init() {
        m_pSandbox = new ScanLogSandbox;
        m_pDisks = new twtest::TempDiskDir;
        m_pMounts = new twtest::CMounts;
    }
    void cleanup() {
        m_pWindow.reset();
        delete m_pMounts;  // before the folders it mounted on go
        delete m_pDisks;
        delete m_pSandbox;
    }

    // A card formatted without a partition table: its row names its file
    // system and label; scanned from that row, its deleted photos are
    // previewed, ticked with Space and recovered whole. Made small, the
    // window keeps every control in reach.
    void cardWithoutPartitionTable() {
        QTreeWidget* pTypes = ScanByKeys("ui_card32",
                                         "Disk 1 \u00b7 ui_card32.img \u00b7 FAT32 "
                                         "\u201cHOLIDAY\u201d");
        QVERIFY(pTypes && Item(pTypes, "jpg Files (2)"));
        SelectItem(pTypes, Item(pTypes, "jpg Files (2)"));
        QCOMPARE(m_pWindow->findChild<QLabel*>("preview")->pixmap().width(), 300);
        auto* pTable = Named<QTableWidget>(m_pWindow.get(), "Files");
        pTable->setFocus();
        for (int nRow : {0, 1}) {
            pTable->setCurrentCell(nRow, 0);
            QTest::keyClick(pTable, Qt::Key_Space);
        }
        QCOMPARE(m_pWindow->Selection().size(), size_t(2));
        QCOMPARE(Item(pTypes, "Photo(2)")->checkState(0), Qt::Checked);
        QTest::keyClick(pTable, Qt::Key_Tab);
        QVERIFY(!pTable->hasFocus());
        QVERIFY(Shot(m_pWindow.get(), "page3_card"));

        const QRect screen = m_pWindow->screen()->availableGeometry();
        QVERIFY(screen.contains(m_pWindow->frameGeometry()));
        QCOMPARE(OutOfReach(m_pWindow.get()), QString());
        m_pWindow->resize(m_pWindow->minimumSize());
        QCOMPARE(OutOfReach(m_pWindow.get()), QString());
        QVERIFY(Shot(m_pWindow.get(), "page3_smallest"));

        const QString strDest = Folder("rescued");
        QString strSummary = RecoverTo(*m_pWindow, strDest, "card_recovery");
        QVERIFY2(strSummary.startsWith("  Recovery finished\n2 recovered, 0 partial, 0 failed"),
                 qPrintable(strSummary));
        for (const char* szName : {"Beach at noon.jpg", "Small photo.jpg"})
            QVERIFY2(ReadFileBytes(strDest.toStdString() + "/photo/" + szName) == Original(szName),
                     szName);
        QCOMPARE(twtest::Sha1OfFile(twtest::FixtureImage("ui_card32")), m_strSum);
    }

    // A disk whose partition table points past its end: its partition cannot
    // be read, the whole disk is scanned and both photos come back.
    void diskWithDamagedTable() {
        QTreeWidget* pTypes = ScanByKeys("ui_damaged", "Disk 1 \u00b7 ui_damaged.img");
        QVERIFY(pTypes && Item(pTypes, "jpg Files (2)"));
        QCOMPARE(m_pWindow->findChild<QTreeWidget*>("Devices")->topLevelItem(0)->child(0)->text(0),
                 QString("Partition 1 \u00b7 cannot be read"));
        TickItem(pTypes, Item(pTypes, "Photo(2)"));
        const QString strDest = Folder("whole");
        QVERIFY(RecoverTo(*m_pWindow, strDest, "damaged_recovery").contains("2 recovered"));
        std::set<std::string> found,
            wanted{Original("Beach at noon.jpg"), Original("Small photo.jpg")};
        for (const QString& strName : QDir(strDest + "/photo").entryList(QDir::Files))
            found.insert(ReadFileBytes((strDest + "/photo/" + strName).toStdString()));
        QVERIFY(found == wanted);
        QCOMPARE(twtest::Sha1OfFile(twtest::FixtureImage("ui_damaged")), m_strSum);
    }

    // A read-only destination is refused before anything starts; a full one
    // (after the warning) and a read-only type folder end with the failure
    // named. "Open Folder" runs the opener as the user who asked.
    void destinationsThatFail() {
        QTreeWidget* pTypes = ScanByKeys("ui_card32",
                                         "Disk 1 \u00b7 ui_card32.img \u00b7 FAT32 "
                                         "\u201cHOLIDAY\u201d");
        QVERIFY(pTypes);
        TickItem(pTypes, Item(pTypes, "Photo(2)"));
        std::string strWhy;
        const QString strReadOnly = Folder("ro"), strFull = Folder("full"),
                      strTyped = Folder("typed");
        QDir().mkpath(strTyped + "/photo");
        QVERIFY2(m_pMounts->ReadOnly(strReadOnly.toStdString(), strWhy) &&
                     m_pMounts->Tmpfs(strFull.toStdString(), 64, strWhy) &&
                     m_pMounts->ReadOnly((strTyped + "/photo").toStdString(), strWhy),
                 strWhy.c_str());

        QString strMessage;
        ChooseFolder(strReadOnly);
        WhenModal<CMessageBox>([&](CMessageBox* pBox) {
            strMessage = pBox->findChild<QLabel*>("message")->text();
            Shot(m_pWindow.get(), "recovery_refused", pBox);
            Click(Named<QPushButton>(pBox, "OK"));
        });
        Click(Named<QPushButton>(m_pWindow.get(), "Recover"));
        QVERIFY2(strMessage.contains("cannot write to " + strReadOnly + ": Read-only file system"),
                 qPrintable(strMessage));

        QString strSummary = RecoverTo(*m_pWindow, strTyped, "recovery_readonly");
        QVERIFY2(strSummary.contains("0 recovered, 0 partial, 2 failed") &&
                     strSummary.contains("cannot write the destination: Read-only file system"),
                 qPrintable(strSummary));

        // The opener, as it sees itself.
        QTemporaryDir bin;
        QFile::setPermissions(bin.path(), QFile::Permissions(0x7777));
        const QString strRecord = bin.path() + "/opened";
        QFile script(bin.path() + "/xdg-open");
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(QString("#!/bin/sh\necho \"$(id -u) $1\" > '%1'\n").arg(strRecord).toUtf8());
        script.close();
        script.setPermissions(QFile::Permissions(0x7755));
        const QByteArray path = qgetenv("PATH"), sudoUid = qgetenv("SUDO_UID");
        qputenv("PATH", bin.path().toUtf8() + ":" + path);
        qunsetenv("SUDO_UID");
        Answer<CMessageBox>("Yes", m_pWindow.get(), "recovery_space_question");
        strSummary = RecoverTo(*m_pWindow, strFull, "recovery_full", [&](SCANUI* pDialog) {
            qputenv("PKEXEC_UID", "65534");
            Click(Named<QPushButton>(pDialog, "Open Folder"));
            QTRY_VERIFY(QFile::exists(strRecord));
            qunsetenv("PKEXEC_UID");
        });
        qputenv("PATH", path);
        if (!sudoUid.isEmpty()) qputenv("SUDO_UID", sudoUid);
        QVERIFY2(strSummary.startsWith("  Recovery ended with problems") &&
                     strSummary.contains("cannot write the destination: No space left on device"),
                 qPrintable(strSummary));
        QCOMPARE(QString::fromUtf8(ReadFileBytes(strRecord.toStdString())).trimmed(),
                 QString("%1 %2").arg(geteuid() == 0 ? 65534 : getuid()).arg(strFull));
    }
};

QTEST_MAIN(CardsTest)
#include "cards_test.moc"
