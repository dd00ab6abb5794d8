// The application over real card images presented as disks, worked as a user
// works it: rows picked by mouse and keys, files ticked with Space,
// destinations that cannot take the files, the window made smaller. Every
// photo recovered is compared with its original; the cards stay unchanged.
#include <unistd.h>

#include <QScreen>
#include <QTableWidget>

#include <set>

#include "support/DiskImage.h"
#include "support/Fixtures.h"
#include "support/Mounts.h"
#include "support/RunTool.h"
#include "support/ScanLogSandbox.h"
#include "UiDriver.h"

using namespace twui;

namespace {

// The photos in strDest/photo are the two deleted from the cards.
bool AreTheOriginalPhotos(const QString& strDest) {
    const std::string strFiles = twtest::FixtureDir() + "/ui_card.files/";
    std::set<std::string> found, wanted{ReadFileBytes(strFiles + "Beach at noon.jpg"),
                                        ReadFileBytes(strFiles + "Small photo.jpg")};
    for (const QString& strName : QDir(strDest + "/photo").entryList(QDir::Files))
        found.insert(ReadFileBytes((strDest + "/photo/" + strName).toStdString()));
    return found == wanted;
}

}  // namespace

class CardsTest : public QObject {
    Q_OBJECT

private slots:
    // Disk 1, a card formatted without a partition table, is named by its file
    // system and label; disk 2's table points past its end. Disk 2 is scanned
    // whole, disk 1 from its row by keys; the photos come back; a read-only
    // destination is refused, a read-only type folder and a full one (after
    // the warning) end with the failure named; "Open Folder" runs the opener
    // as the user who asked; made small, the window keeps every control.
    void cardsAsAUserWorksThem() {
        ScanLogSandbox sandbox;
        twtest::TempDiskDir disks;
        twtest::CMounts mounts;
        const std::string strCard = twtest::FixtureImage("ui_card32"),
                          strDamaged = twtest::FixtureImage("ui_damaged");
        const std::string strSums = twtest::Sha1OfFile(strCard) + twtest::Sha1OfFile(strDamaged);
        QVERIFY(disks.AddDisk(0, strCard) && disks.AddDisk(1, strDamaged));
        const auto Folder = [&](const char* szName) {
            const QString strDir = QString::fromStdString(sandbox.Root()) + "/" + szName;
            QDir().mkpath(strDir);
            return strDir;
        };
        auto pWindow = ShowWindow();
        Click(Named<QPushButton>(pWindow.get(), "Start"));
        QVERIFY(Shot(pWindow.get(), "page2_cards"));
        auto* pTree = Named<QTreeWidget>(pWindow.get(), "Devices");
        QCOMPARE(pTree->topLevelItem(0)->text(0),
                 QString("Disk 1 \u00b7 ui_card32.img \u00b7 FAT32 \u201cHOLIDAY\u201d"));
        QCOMPARE(pTree->topLevelItem(1)->text(0), QString("Disk 2 \u00b7 ui_damaged.img"));
        QCOMPARE(pTree->topLevelItem(1)->child(0)->text(0),
                 QString("Partition 1 \u00b7 cannot be read"));

        SelectItem(pTree, pTree->topLevelItem(1));
        Click(Named<QPushButton>(pWindow.get(), "Scan"));
        auto* pTypes = Named<QTreeWidget>(pWindow.get(), "Types");
        QVERIFY(pTypes && Item(pTypes, "Photo(2)"));
        TickItem(pTypes, Item(pTypes, "Photo(2)"));
        QVERIFY(RecoverTo(*pWindow, Folder("whole"), "damaged_recovery").contains("2 recovered"));
        QVERIFY(AreTheOriginalPhotos(Folder("whole")));
        Answer<CMessageBox>("Yes");
        Click(Named<QPushButton>(pWindow.get(), "Back"));

        QTest::keyClick(pTree, Qt::Key_Up);
        QCOMPARE(pTree->selectedItems().value(0), pTree->topLevelItem(0));
        QTest::keyClick(pTree, Qt::Key_Return);
        pTypes = Named<QTreeWidget>(pWindow.get(), "Types");
        QVERIFY(pTypes && Item(pTypes, "jpg Files (2)"));
        SelectItem(pTypes, Item(pTypes, "jpg Files (2)"));
        QCOMPARE(pWindow->findChild<QLabel*>("preview")->pixmap().width(), 300);
        auto* pTable = Named<QTableWidget>(pWindow.get(), "Files");
        pTable->setFocus();
        for (int nRow : {0, 1}) {
            pTable->setCurrentCell(nRow, 0);
            QTest::keyClick(pTable, Qt::Key_Space);
        }
        QCOMPARE(pWindow->Selection().size(), size_t(2));
        QTest::keyClick(pTable, Qt::Key_Tab);
        QVERIFY(!pTable->hasFocus());
        QVERIFY(Shot(pWindow.get(), "page3_card"));
        QVERIFY(pWindow->screen()->availableGeometry().contains(pWindow->frameGeometry()));
        QCOMPARE(OutOfReach(pWindow.get()), QString());
        pWindow->resize(pWindow->minimumSize());
        QCOMPARE(OutOfReach(pWindow.get()), QString());
        QVERIFY(Shot(pWindow.get(), "page3_smallest"));
        QVERIFY(RecoverTo(*pWindow, Folder("rescued"), "card_recovery")
                    .startsWith("  Recovery finished\n2 recovered, 0 partial, 0 failed"));
        QVERIFY(AreTheOriginalPhotos(Folder("rescued")));

        std::string strWhy;
        const QString strReadOnly = Folder("ro"), strFull = Folder("full"),
                      strTyped = Folder("typed/photo").chopped(6);
        QVERIFY2(mounts.Mount(strReadOnly.toStdString(), 0, true, strWhy) &&
                     mounts.Mount(strFull.toStdString(), 64, false, strWhy) &&
                     mounts.Mount((strTyped + "/photo").toStdString(), 0, true, strWhy),
                 strWhy.c_str());
        QString strMessage;
        ChooseFolder(strReadOnly);
        WhenModal<CMessageBox>([&](CMessageBox* pBox) {
            strMessage = pBox->findChild<QLabel*>("message")->text();
            Shot(pWindow.get(), "recovery_refused", pBox);
            Click(Named<QPushButton>(pBox, "OK"));
        });
        Click(Named<QPushButton>(pWindow.get(), "Recover"));
        QVERIFY2(strMessage.contains("cannot write to " + strReadOnly + ": Read-only file system"),
                 qPrintable(strMessage));
        QString strSummary = RecoverTo(*pWindow, strTyped, "recovery_readonly");
        QVERIFY2(strSummary.contains("0 recovered, 0 partial, 2 failed") &&
                     strSummary.contains("cannot write the destination: Read-only file system"),
                 qPrintable(strSummary));

        // An opener that writes down who it runs as, for the user PKEXEC_UID names.
        const std::string strBin = sandbox.Root() + "/bin", strRecord = sandbox.Root() + "/opened";
        QCOMPARE(twtest::RunCommand("mkdir " + strBin + " && chmod 777 " + sandbox.Root() +
                                    " && printf '#!/bin/sh\\necho \"$(id -u) $1\" > " + strRecord +
                                    "\\n' > " + strBin + "/xdg-open && chmod 755 " + strBin +
                                    "/xdg-open"),
                 0);
        ScopedEnv path("PATH", (strBin + ":" + qgetenv("PATH").toStdString()).c_str());
        ScopedEnv sudo("SUDO_UID", nullptr);
        Answer<CMessageBox>("Yes", pWindow.get(), "recovery_space_question");
        strSummary = RecoverTo(*pWindow, strFull, "recovery_full", [&](SCANUI* pDialog) {
            ScopedEnv user("PKEXEC_UID", "65534");
            Click(Named<QPushButton>(pDialog, "Open Folder"));
            QTRY_VERIFY(QFile::exists(QString::fromStdString(strRecord)));
        });
        QVERIFY2(strSummary.startsWith("  Recovery ended with problems") &&
                     strSummary.contains("cannot write the destination: No space left on device"),
                 qPrintable(strSummary));
        QCOMPARE(QString::fromStdString(ReadFileBytes(strRecord)).trimmed(),
                 QString("%1 %2").arg(geteuid() == 0 ? 65534 : getuid()).arg(strFull));
        pWindow.reset();
        QCOMPARE(twtest::Sha1OfFile(strCard) + twtest::Sha1OfFile(strDamaged), strSums);
    }
};

QTEST_MAIN(CardsTest)
#include "cards_test.moc"
