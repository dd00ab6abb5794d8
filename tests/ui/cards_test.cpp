// The application over real card images presented as disks, worked as a user
// works it: rows picked by mouse and keys, files ticked with Space,
// destinations that cannot take the files, the window made smaller, a camera
// card browsed by its folders. Every photo recovered is compared with its
// original; the cards stay unchanged.
#include <sys/stat.h>
#include <unistd.h>

#include <QDirIterator>
#include <QHeaderView>
#include <QListView>
#include <QScreen>
#include <QTableView>
#include <QTreeView>

#include <map>

#include "support/DiskImage.h"
#include "support/Fixtures.h"
#include "support/Mounts.h"
#include "support/RunTool.h"
#include "support/ScanLogSandbox.h"
#include "UiDriver.h"
#include "ui/PictureView.h"
#include "ui/ResultModels.h"

using namespace twui;

namespace {

// The photos in strDest/photo are the two deleted from the cards, under their
// own names.
bool AreTheOriginalPhotos(const QString& strDest) {
    std::map<std::string, std::string> found, wanted;
    for (const char* szName : {"Beach at noon.jpg", "Small photo.jpg"})
        wanted[szName] = ReadFileBytes(twtest::FixtureDir() + "/ui_card.files/" + szName);
    for (const QString& strName : QDir(strDest + "/photo").entryList(QDir::Files))
        found[strName.toStdString()] = ReadFileBytes((strDest + "/photo/" + strName).toStdString());
    return found == wanted;
}

}  // namespace

class CardsTest : public QObject {
    Q_OBJECT

private slots:
    // Disk 1, a card formatted without a partition table, is named by its file
    // system and label; disk 2's table points past its end. Disk 2 is scanned
    // whole, disk 1 from its row by keys; the photos come back under their
    // names; a read-only destination is refused, a read-only type folder and
    // a full one (after the warning) end with the failure named; "Open
    // Folder" runs the opener as the user who asked; made small, the window
    // keeps every control.
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
        auto* pTypes = Named<QTreeView>(pWindow.get(), "Types");
        QVERIFY(pTypes && Item(pTypes, "Photo(2)").isValid());
        TickItem(pTypes, Item(pTypes, "Photo(2)"));
        QVERIFY(RecoverTo(*pWindow, Folder("whole"), "damaged_recovery").contains("2 recovered"));
        QVERIFY(AreTheOriginalPhotos(Folder("whole")));
        Answer<CMessageBox>("Yes");
        Click(Named<QPushButton>(pWindow.get(), "Back"));

        QTest::keyClick(pTree, Qt::Key_Up);
        QCOMPARE(pTree->selectedItems().value(0), pTree->topLevelItem(0));
        QTest::keyClick(pTree, Qt::Key_Return);
        pTypes = Named<QTreeView>(pWindow.get(), "Types");
        QVERIFY(pTypes && Item(pTypes, "jpg Files (2)").isValid());
        SelectItem(pTypes, Item(pTypes, "jpg Files (2)"));
        QTRY_COMPARE(pWindow->findChild<CPictureView*>("preview")->Picture().width(), 300);
        auto* pTable = Named<QTableView>(pWindow.get(), "Files");
        pTable->setFocus();
        for (int nRow : {0, 1}) {
            pTable->setCurrentIndex(pTable->model()->index(nRow, 0));
            QTest::keyClick(pTable, Qt::Key_Space);
        }
        QCOMPARE(pWindow->SelectedCount(), size_t(2));
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

    // An exFAT camera card whose DCIM folder was deleted, browsed by folder:
    // DCIM/100TEST comes back with its photos, sorted by time, thumbnails
    // turned as their EXIF data says; recovered from there the files keep
    // their folders and times, byte for byte; the card is unchanged.
    void cameraCardByFolder() {
        ScanLogSandbox sandbox;
        twtest::TempDiskDir disks;
        const std::string strCard = twtest::FixtureImage("ui_exfat");
        const std::string strSum = twtest::Sha1OfFile(strCard);
        QVERIFY(disks.AddDisk(0, strCard));
        auto pWindow = ShowWindow();
        Click(Named<QPushButton>(pWindow.get(), "Start"));
        auto* pDevices = Named<QTreeWidget>(pWindow.get(), "Devices");
        SelectItem(pDevices, pDevices->topLevelItem(0));
        Click(Named<QPushButton>(pWindow.get(), "Scan"));
        Click(Named<QPushButton>(pWindow.get(), "By folder"));
        auto* pFolders = Named<QTreeView>(pWindow.get(), "Folders");
        const QModelIndex camera = Item(pFolders, "100TEST (3)");
        QVERIFY(camera.isValid());
        QCOMPARE(camera.parent().data().toString(), QString("DCIM (3)"));
        QCOMPARE(camera.parent().parent().data().toString(), QString("Disk 1 (5)"));
        SelectItem(pFolders, camera);
        auto* pTable = Named<QTableView>(pWindow.get(), "Files");
        QHeaderView* pHeader = pTable->horizontalHeader();
        QTest::mouseClick(pHeader->viewport(), Qt::LeftButton, {},
                          QPoint(pHeader->sectionViewportPosition(COL_MODIFIED) + 8, 5));
        QStringList names;
        for (int i = 0; i < 3; ++i) names << pTable->model()->index(i, COL_NAME).data().toString();
        QCOMPARE(names, QStringList({"IMG_0002.JPG", "IMG_0001.JPG", "IMG_0003.JPG"}));
        QTRY_COMPARE(pWindow->findChild<QLabel*>("previewCaption")->text(), QString("Picture"));
        QVERIFY(Shot(pWindow.get(), "card_by_folder"));
        Click(Named<QPushButton>(pWindow.get(), "Thumbnails"));
        auto* pGrid = Named<QListView>(pWindow.get(), "Thumbnail grid");
        // A thumbnail in place of the icon (48 x 48) of each; IMG_0002 is turned upright.
        const auto Thumbnail = [&](int nRow) {
            return pGrid->model()
                ->index(nRow, 0)
                .data(Qt::DecorationRole)
                .value<QPixmap>()
                .deviceIndependentSize()
                .toSize();
        };
        QTRY_VERIFY(Thumbnail(0) != QSize(48, 48) && Thumbnail(1) != QSize(48, 48) &&
                    Thumbnail(2) != QSize(48, 48));
        QCOMPARE(Thumbnail(0), QSize(70, 112));
        QCOMPARE(Thumbnail(1), QSize(112, 84));
        QVERIFY(Shot(pWindow.get(), "card_thumbnails"));
        TickItem(pFolders, Item(pFolders, "Disk 1 (5)"));

        const QString strDest = QString::fromStdString(sandbox.Root()) + "/camera";
        QDir().mkpath(strDest);
        QVERIFY(RecoverTo(*pWindow, strDest, "card_folders_recovery").contains("5 recovered"));
        const QString strTree = QString::fromStdString(twtest::FixtureDir()) + "/ui_exfat.tree";
        int nFiles = 0;
        for (QDirIterator it(strTree, QDir::Files, QDirIterator::Subdirectories); it.hasNext();
             ++nFiles) {
            const QString strOriginal = it.next();
            const QString strSaved = strDest + strOriginal.mid(strTree.size());
            QVERIFY2(
                ReadFileBytes(strSaved.toStdString()) == ReadFileBytes(strOriginal.toStdString()),
                qPrintable(strSaved));
        }
        QCOMPARE(nFiles, 5);
        // The times the card holds (UTC), on the files and the folders made.
        for (auto [szPath, llTime] : {std::pair{"DCIM/100TEST/IMG_0001.JPG", 1689325950LL},
                                      {"DCIM/100TEST/IMG_0002.JPG", 1688409602LL},
                                      {"Notes/Grüße.txt", 1671901200LL},
                                      {"DCIM/100TEST", 1688290210LL},
                                      {"DCIM", 1688198400LL}}) {
            struct stat st;
            QVERIFY2(stat((strDest + "/" + szPath).toUtf8().constData(), &st) == 0, szPath);
            QCOMPARE(static_cast<long long>(st.st_mtime), llTime);
        }
        pWindow.reset();
        QCOMPARE(twtest::Sha1OfFile(strCard), strSum);
    }
};

QTEST_MAIN(CardsTest)
#include "cards_test.moc"
