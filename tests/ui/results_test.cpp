// The result page driven with real clicks and keys over a scripted engine:
// the trees and their ticks, search and filters, sorting, previews of every
// kind, the folder view with its thumbnails, and recovery.
#include <sys/stat.h>

#include <QAccessible>
#include <QBuffer>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedLayout>
#include <QTableView>
#include <QTreeView>

#include <map>

#include "support/DiskImage.h"
#include "support/FaultyMedium.h"
#include "support/Fixtures.h"
#include "support/ScanLogSandbox.h"
#include "ui/DRUI.h"
#include "ui/Dialogs.h"
#include "ui/PictureView.h"
#include "ui/ResultModels.h"
#include "ui/ScanUI.h"
#include "ScriptedEngine.h"
#include "UiDriver.h"

using namespace twui;

namespace {

QByteArray Png(int nWidth, int nHeight) {
    QImage image(nWidth, nHeight, QImage::Format_RGB32);
    image.fill(QColor(40, 120, 200));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

std::string Photo(const char* szName) {
    return ReadFileBytes(twtest::FixtureDir() + "/ui_exfat.tree/DCIM/100TEST/" + szName);
}

const long long kJan2021 = 1609502400;  // 2021-01-01 12:00 UTC

}  // namespace

class ResultsTest : public QObject {
    Q_OBJECT

    ScanLogSandbox* m_pSandbox = nullptr;
    twtest::TempDiskDir* m_pDisks = nullptr;
    std::unique_ptr<DRUI> m_pWindow;
    std::shared_ptr<ScriptState> m_state;

    // Page 3 after a scripted scan listing the hits.
    QTreeView* ShowResults(std::vector<__SEARCH_FILE_INFO__> hits,
                           std::map<std::string, std::string> contents = {},
                           std::map<std::string, std::wstring> parents = {}) {
        auto state = m_state = std::make_shared<ScriptState>();
        state->scan = {{100, 100, 0, 1, 1, 1}};
        state->contents = std::move(contents);
        state->parents = std::move(parents);
        state->hits = std::move(hits);
        m_pWindow =
            ShowWindow([state](const _PARTITION_ITEM_&) { return new ScriptedEngine(state); });
        Click(Named<QPushButton>(m_pWindow.get(), "Start"));
        SelectItem(Named<QTreeWidget>(m_pWindow.get(), "Devices"),
                   Named<QTreeWidget>(m_pWindow.get(), "Devices")->topLevelItem(0));
        Click(Named<QPushButton>(m_pWindow.get(), "Scan"));
        return Named<QTreeView>(m_pWindow.get(), "Types");
    }
    // The n-th of names with 100 x n bytes, modified n days after 2021-01-01.
    static std::vector<__SEARCH_FILE_INFO__> Hits(const std::vector<const char*>& names) {
        std::vector<__SEARCH_FILE_INFO__> hits;
        for (uint32_t n = 1; n <= names.size(); ++n)
            hits.push_back(MakeFatHit(names[n - 1], n, 100 * n, kJan2021 + 86400LL * n));
        return hits;
    }
    QTableView* Table() { return Named<QTableView>(m_pWindow.get(), "Files"); }
    QStringList Column(int nColumn) {
        QStringList values;
        for (int i = 0; i < Table()->model()->rowCount(); ++i)
            values << Table()->model()->index(i, nColumn).data().toString();
        return values;
    }
    QString Summary() { return m_pWindow->findChild<QLabel*>("summary")->text(); }
    QString Labels(const char* szTree) {
        return twui::Labels(Named<QTreeView>(m_pWindow.get(), szTree)->model()).join('|');
    }
    QString PreviewText() {
        return m_pWindow->findChild<QPlainTextEdit*>("previewText")->toPlainText();
    }
    QString Caption() { return m_pWindow->findChild<QLabel*>("previewCaption")->text(); }
    // The picture is drawn whole in its pane, aspect kept, filling the pane's
    // width or height unless that takes it past a picture pixel per device pixel.
    static bool Fitted(const CPictureView* pView) {
        const QRect shown = pView->PictureRect();
        const QSizeF natural = QSizeF(pView->Picture().size()) / pView->devicePixelRatioF();
        const double dAspect = natural.width() / natural.height();
        const QRect pane = pView->contentsRect();
        return !shown.isEmpty() && pane.contains(shown) &&
               std::abs(shown.width() - shown.height() * dAspect) <= 1 + dAspect &&
               shown.width() <= natural.width() + 0.5 && shown.height() <= natural.height() + 0.5 &&
               (shown.width() >= pane.width() - 1 || shown.height() >= pane.height() - 1 ||
                shown.width() >= natural.width() - 1);
    }
    void ClickHeader(int nColumn) {
        QHeaderView* pHeader = Table()->horizontalHeader();
        QTest::mouseClick(
            pHeader->viewport(), Qt::LeftButton, {},
            QPoint(pHeader->sectionViewportPosition(nColumn) + 8, pHeader->height() / 2));
    }

private slots:
    void init() {
        m_pSandbox = new ScanLogSandbox;
        m_pDisks = new twtest::TempDiskDir;
        twtest::Volume volume;
        volume.u64Sectors = 2048;
        QVERIFY(twtest::WriteMbrDisk(m_pSandbox->Root() + "/disk.img", {volume}, {}, nullptr));
        QVERIFY(m_pDisks->AddDisk(0, m_pSandbox->Root() + "/disk.img"));
    }
    void cleanup() {
        m_pWindow.reset();
        delete m_pDisks;
        delete m_pSandbox;
    }

    // The type tree and its ticks, shared by the list and Space; the counts
    // and the list follow the search field and the filters.
    void ticksSearchAndFilters() {
        auto hits = Hits({"a.JPG", "b.jpg", "c.raw", "song.ra", "x.z", "README", "notes.txt",
                          "wide.png", "narrow.png"});
        hits[2].bDataHealth = 0;  // c.raw does not start like a raw picture
        QTreeView* pTree = ShowResults(hits);
        const QString strAll =
            "Photo(6)|jpg Files (2)|png Files (2)|ra Files (1)|raw Files (1)|Office(1)|txt Files "
            "(1)|Other(2)|unKnow Files (1)|z Files (1)";
        QCOMPARE(Labels("Types"), strAll);
        TickItem(pTree, Item(pTree, "jpg Files (2)"));
        QCOMPARE(Summary(), QString("Select 300 bytes in 2 files"));
        QVERIFY(Named<QPushButton>(m_pWindow.get(), "Recover")->isEnabled());
        SelectItem(pTree, Item(pTree, "jpg Files (2)"));
        QCOMPARE(Column(COL_NAME), QStringList({"a.JPG", "b.jpg"}));
        TickItem(Table(), Table()->model()->index(1, COL_NAME));
        QCOMPARE(Item(pTree, "jpg Files (2)").data(Qt::CheckStateRole).toInt(),
                 int(Qt::PartiallyChecked));
        QCOMPARE(Summary(), QString("Select 100 bytes in 1 file"));
        // What a screen reader hears: the partial tick, and the summary as it reads now.
        QCOMPARE(Item(pTree, "Photo(6)").data(Qt::AccessibleDescriptionRole).toString(),
                 QString("partly ticked"));
        QCOMPARE(QAccessible::queryAccessibleInterface(m_pWindow->findChild<QLabel*>("summary"))
                     ->text(QAccessible::Name),
                 Summary());
        // Space ticks the row picked, whichever of its cells is current.
        Table()->setFocus();
        Table()->setCurrentIndex(Table()->model()->index(1, COL_SIZE));
        QTest::keyClick(Table(), Qt::Key_Space);
        QCOMPARE(Summary(), QString("Select 300 bytes in 2 files"));
        TickItem(pTree, Item(pTree, "Other(2)"));
        QCOMPARE(m_pWindow->SelectedCount(), size_t(4));
        QVERIFY(Shot(m_pWindow.get(), "page3_selection"));

        // Typing filters by name, any case; the tree keeps what still has files.
        auto* pSearch = Named<QLineEdit>(m_pWindow.get(), "Search");
        QTest::keyClicks(pSearch, "NA");
        QCOMPARE(Labels("Types"), QString("Photo(1)|png Files (1)"));
        QVERIFY(Shot(m_pWindow.get(), "page3_search"));
        QTest::keyClick(pSearch, Qt::Key_Return);  // ends the typing, recovers nothing
        QVERIFY(!QApplication::activeModalWidget());
        pSearch->clear();
        QCOMPARE(Labels("Types"), strAll);
        // Size from 450 bytes, typed; the unit picked by keys.
        Click(Named<QPushButton>(m_pWindow.get(), "Filters"));
        auto* pUnit = Named<QComboBox>(m_pWindow.get(), "Size unit");
        pUnit->setFocus();
        QTest::keyClick(pUnit, Qt::Key_Up);
        QTest::keyClick(pUnit, Qt::Key_Up);
        QCOMPARE(pUnit->currentText(), QString("bytes"));
        auto* pMin = Named<QDoubleSpinBox>(m_pWindow.get(), "Smallest size");
        pMin->setFocus();
        QTest::keyClick(pMin, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(pMin, "450");
        QCOMPARE(Labels("Types"), QString("Photo(2)|png Files (2)|Office(1)|txt Files "
                                          "(1)|Other(2)|unKnow Files (1)|z Files (1)"));
        // The ticks of files out of sight stay; a tick over the tree ticks what is shown.
        QCOMPARE(Summary(), QString("Select 1.4 KiB in 4 files"));
        QVERIFY(Shot(m_pWindow.get(), "page3_filters"));
        QTest::keyClick(pMin, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(pMin, Qt::Key_0);
        Click(Named<QCheckBox>(m_pWindow.get(), "Show only files in good condition"));
        QCOMPARE(Labels("Types"), QString("Photo(4)|jpg Files (2)|png Files (2)"));
        Click(Named<QCheckBox>(m_pWindow.get(), "Show only files in good condition"));
        Click(Named<QCheckBox>(m_pWindow.get(), "Modified between"));
        Named<QDateEdit>(m_pWindow.get(), "Modified from")->setDate(QDate(2021, 1, 3));
        Named<QDateEdit>(m_pWindow.get(), "Modified until")->setDate(QDate(2021, 1, 4));
        QCOMPARE(Labels("Types"), QString("Photo(2)|jpg Files (1)|raw Files (1)"));
    }

    // Every column sorts, both ways; files without a time come first.
    void sortingByEveryColumn() {
        auto hits = Hits({"IMG_10.jpg", "img_9.jpg", "IMG_2.jpg", "no time.jpg"});
        hits[0].ftLastWriteTime.dwLowDateTime = static_cast<uint32_t>(kJan2021 + 86400 * 30);
        hits[3].ftLastWriteTime = {};
        hits[1].u64FileSize = 5000;
        QTreeView* pTree = ShowResults(hits);
        SelectItem(pTree, Item(pTree, "jpg Files (4)"));
        QCOMPARE(Column(COL_NAME),
                 QStringList({"IMG_10.jpg", "img_9.jpg", "IMG_2.jpg", "no time.jpg"}));
        ClickHeader(COL_MODIFIED);
        QCOMPARE(Column(COL_NAME),
                 QStringList({"no time.jpg", "img_9.jpg", "IMG_2.jpg", "IMG_10.jpg"}));
        QCOMPARE(Column(COL_MODIFIED)[1],
                 QDateTime::fromSecsSinceEpoch(kJan2021 + 86400 * 2).toString("yyyy-MM-dd HH:mm"));
        QCOMPARE(Column(COL_MODIFIED)[0], QString());
        QVERIFY(Shot(m_pWindow.get(), "page3_sorted"));
        ClickHeader(COL_MODIFIED);
        QCOMPARE(Column(COL_NAME),
                 QStringList({"IMG_10.jpg", "IMG_2.jpg", "img_9.jpg", "no time.jpg"}));
        ClickHeader(COL_NAME);
        QCOMPARE(Column(COL_NAME),
                 QStringList({"IMG_2.jpg", "img_9.jpg", "IMG_10.jpg", "no time.jpg"}));
        ClickHeader(COL_SIZE);
        QCOMPARE(Column(COL_SIZE), QStringList({"100 bytes", "300 bytes", "400 bytes", "4.9 KiB"}));
        // The file previewed stays picked through a sort.
        Table()->setCurrentIndex(Table()->model()->index(3, COL_NAME));
        ClickHeader(COL_STATE);
        QCOMPARE(Table()->currentIndex().data().toString(), QString("img_9.jpg"));
        QCOMPARE(Column(COL_STATE), QStringList(4, "deleted"));
    }

    // Text in its own encoding, other data in hexadecimal, pictures scaled and
    // turned as their EXIF data says; a quick preview brings no dialog, a slow
    // one does, and the preview of a file no longer picked is never shown.
    void previewsOfEveryKind() {
        const std::string strKoeln =
            "Gr\xC3\xBC\xC3\x9F"
            "e aus K\xC3\xB6ln\n";
        QTreeView* pTree =
            ShowResults(Hits({"Gruesse.txt", "latin.txt", "song.mp3", "wide.png", "narrow.png",
                              "turned.jpg", "slow.doc", "fast.doc"}),
                        {{"Gruesse.txt", strKoeln},
                         {"latin.txt",
                          "Gr\xFC\xDF"
                          "e\n"},
                         {"song.mp3", std::string("ID3\x03\x00\x00\x00\x00\x0F\x76", 10) + "TIT2"},
                         {"wide.png", Png(1200, 300).toStdString()},
                         {"narrow.png", Png(700, 300).toStdString()},
                         {"turned.jpg", Photo("IMG_0002.JPG")},
                         {"slow.doc", "slow"},
                         {"fast.doc", "fast"}});
        int nDialogs = 0;
        QTimer watch;
        connect(&watch, &QTimer::timeout, [&] {
            if (qobject_cast<SCANUI*>(QApplication::activeModalWidget())) ++nDialogs;
        });
        watch.start(5);
        auto* pPicture = m_pWindow->findChild<CPictureView*>("preview");
        SelectItem(pTree, Item(pTree, "txt Files (2)"));
        QTRY_COMPARE(PreviewText(), QString::fromStdString(strKoeln));
        QCOMPARE(Caption(), QString("Text (UTF-8)"));
        QVERIFY(Shot(m_pWindow.get(), "page3_text_preview"));
        SelectItem(Table(), Table()->model()->index(1, COL_SIZE));
        QTRY_COMPARE(PreviewText(), QString::fromUtf8("Gr\xC3\xBC\xC3\x9F"
                                                      "e\n"));
        QCOMPARE(Caption(), QString("Text (Latin-1)"));
        SelectItem(pTree, Item(pTree, "mp3 Files (1)"));
        QTRY_VERIFY(PreviewText().startsWith(
            "00000000  49 44 33 03 00 00 00 00  0f 76 54 49 54 32        |ID3......vTIT2|"));
        QCOMPARE(Caption(), QString("Hexadecimal"));
        QVERIFY(Shot(m_pWindow.get(), "page3_hex_preview"));
        QCOMPARE(nDialogs, 0);
        SelectItem(pTree, Item(pTree, "png Files (2)"));
        QTRY_COMPARE(pPicture->Picture().size(), QSize(700, 175));
        QVERIFY(Fitted(pPicture));
        SelectItem(Table(), Table()->model()->index(1, COL_NAME));
        QTRY_COMPARE(pPicture->Picture().size(), QSize(700, 300));
        QVERIFY(Fitted(pPicture));
        SelectItem(pTree, Item(pTree, "jpg Files (1)"));
        QTRY_COMPARE(pPicture->Picture().size(), QSize(200, 320));  // stored 320 x 200
        QVERIFY(Fitted(pPicture));
        QVERIFY(Shot(m_pWindow.get(), "page3_picture_preview"));
        // A smaller window, a smaller pane: the picture is fitted again.
        const QSize window = m_pWindow->size();
        const int nTall = pPicture->PictureRect().height();
        m_pWindow->resize(m_pWindow->minimumSize());
        QTRY_VERIFY(pPicture->PictureRect().height() < nTall && Fitted(pPicture));
        m_pWindow->resize(window);

        // The slow file is left for the quick one before it is read.
        m_state->delaysMs["slow.doc"] = 300;
        SelectItem(pTree, Item(pTree, "doc Files (2)"));
        SelectItem(Table(), Table()->model()->index(1, COL_NAME));
        QTRY_COMPARE(PreviewText(), QString("fast"));
        QTest::qWait(500);
        QCOMPARE(PreviewText(), QString("fast"));
        // Past half a second a dialog says what is going on, and goes by itself.
        m_state->delaysMs["slow.doc"] = 1500;
        WhenModal<SCANUI>(
            [&](SCANUI* pDialog) { Shot(m_pWindow.get(), "preview_dialog", pDialog); });
        SelectItem(Table(), Table()->model()->index(0, COL_NAME));
        QTRY_COMPARE(PreviewText(), QString("slow"));
        QVERIFY(nDialogs > 0);
        QTRY_VERIFY(!QApplication::activeModalWidget());
    }

    // The folder view: the volume's folders, a deleted folder among them, the
    // carved files apart; thumbnails of the photos, turned as EXIF says;
    // recovered from there, files keep their folders and times.
    void foldersThumbnailsAndRecovery() {
        auto hits = Hits({"IMG_1.jpg", "IMG_2.jpg", "a.txt", "top.txt", "123.jpg"});
        hits[4].nEngineType = ENGINE_CARVING;
        hits[4].ftLastWriteTime = {};
        // Records of two engines may share record number and first cluster:
        // each is ticked and saved on its own.
        hits[4].nFileIndex = hits[0].nFileIndex;
        ShowResults(hits,
                    {{"IMG_1.jpg", Photo("IMG_0001.JPG")},
                     {"IMG_2.jpg", Photo("IMG_0002.JPG")},
                     {"a.txt", "a"},
                     {"top.txt", "top"},
                     {"123.jpg", Photo("IMG_0003.JPG")}},
                    {{"IMG_1.jpg", L"DCIM/100TEST/"},
                     {"IMG_2.jpg", L"DCIM/100TEST/"},
                     {"a.txt", L"Documents/"}});
        Click(Named<QPushButton>(m_pWindow.get(), "By folder"));
        auto* pFolders = Named<QTreeView>(m_pWindow.get(), "Folders");
        QVERIFY(pFolders);
        QCOMPARE(Labels("Folders"), QString("Disk 1 (4)|DCIM (2)|100TEST (2)|Documents (1)|Found "
                                            "by signature (1)"));
        QCOMPARE(Named<QComboBox>(m_pWindow.get(), "Recover into")->currentText(),
                 QString("the original folders"));
        SelectItem(pFolders, Item(pFolders, "100TEST (2)"));
        QCOMPARE(Column(COL_PATH), QStringList(2, "DCIM/100TEST"));
        Click(Named<QPushButton>(m_pWindow.get(), "Thumbnails"));
        auto* pGrid = Named<QListView>(m_pWindow.get(), "Thumbnail grid");
        QVERIFY(pGrid);
        const CResultSet* pResults = m_pWindow->Results();
        QTRY_VERIFY(m_pWindow->Thumbnails()->HasThumbnail(0) &&
                    m_pWindow->Thumbnails()->HasThumbnail(1));
        const QPixmap turned =
            pGrid->model()->index(1, COL_NAME).data(Qt::DecorationRole).value<QPixmap>();
        QCOMPARE(turned.size(), QSize(70, 112));
        QVERIFY(Shot(m_pWindow.get(), "page3_thumbnails"));
        // The grid has the height, two rows at least, the preview beside it;
        // a cell not picked shows its name below the picture, which keeps
        // clear of the cell's top.
        QVERIFY(pGrid->viewport()->height() >= 2 * CThumbnailModel::Cell().height());
        QTRY_VERIFY(Fitted(m_pWindow->findChild<CPictureView*>("preview")));
        const QRect cell = pGrid->visualRect(pGrid->model()->index(1, COL_NAME));
        QVERIFY(pGrid->viewport()->rect().contains(cell));
        const QImage grid = pGrid->viewport()->grab().toImage();
        const auto Inked = [&](int nTop, int nBottom) {
            int nDark = 0;
            const double dDpr = grid.devicePixelRatio();
            for (int y = int(nTop * dDpr); y < int(nBottom * dDpr); ++y)
                for (int x = int(cell.left() * dDpr); x < int(cell.right() * dDpr); ++x)
                    nDark += qGray(grid.pixel(x, y)) < 128;
            return nDark;
        };
        QCOMPARE(Inked(cell.top(), cell.top() + 3), 0);
        QVERIFY(Inked(cell.top() + CThumbnailModel::kSide + 8, cell.bottom()) > 10);
        // Space in the grid ticks too.
        pGrid->setFocus();
        QTest::keyClick(pGrid, Qt::Key_Space);
        QCOMPARE(m_pWindow->SelectedCount(), size_t(1));
        TickItem(pFolders, Item(pFolders, "Disk 1 (4)"));
        TickItem(pFolders, Item(pFolders, "Found by signature (1)"));
        QCOMPARE(m_pWindow->SelectedCount(), pResults->FileCount());

        const QString strDest = QString::fromStdString(m_pSandbox->Root() + "/kept");
        QDir().mkpath(strDest);
        QVERIFY(RecoverTo(*m_pWindow, strDest, "folders_recovery").contains("5 recovered"));
        const std::pair<const char*, const char*> saved[] = {
            {"DCIM/100TEST/IMG_1.jpg", "IMG_1.jpg"},
            {"DCIM/100TEST/IMG_2.jpg", "IMG_2.jpg"},
            {"Documents/a.txt", "a.txt"},
            {"top.txt", "top.txt"},
            {"Found by signature/123.jpg", "123.jpg"}};
        for (auto [szPath, szName] : saved) {
            const std::string strPath = strDest.toStdString() + "/" + szPath;
            QVERIFY2(ReadFileBytes(strPath) == m_state->contents[szName], szPath);
            struct stat st;
            QVERIFY(stat(strPath.c_str(), &st) == 0);
            for (const auto& hit : hits)
                if (std::string(hit.szFileName) == szName && hit.ftLastWriteTime.dwLowDateTime)
                    QCOMPARE(static_cast<long long>(st.st_mtime),
                             static_cast<long long>(hit.ftLastWriteTime.dwLowDateTime));
        }
    }

    // Unique names, a failure counted, the files given to the user; a cancel
    // starts no further file; a new scan empties the selection.
    void recoveryIntoTypeFolders() {
        QTreeView* pTree =
            ShowResults(Hits({"photo.jpg", "README", "photo.jpg", "lost.doc"}),
                        {{"photo.jpg", "data of photo.jpg"}, {"README", "data of README"}});
        for (int i = 0; i < pTree->model()->rowCount(); ++i)
            TickItem(pTree, pTree->model()->index(i, 0));
        QCOMPARE(m_pWindow->SelectedCount(), size_t(4));
        // The pkexec user alone, also when the suite itself runs under sudo.
        const QByteArray sudoUid = qgetenv("SUDO_UID");
        qunsetenv("SUDO_UID");
        qputenv("PKEXEC_UID", "65534");
        const QString strDest = QString::fromStdString(m_pSandbox->Root() + "/out");
        QDir().mkpath(strDest);
        // The files are written as that user: into a folder of theirs they can reach.
        QVERIFY(chmod(m_pSandbox->Root().c_str(), 0711) == 0 &&
                chown(strDest.toUtf8().constData(), 65534, 65534) == 0);
        const QString strSummary = RecoverTo(*m_pWindow, strDest, "recovery");
        qunsetenv("PKEXEC_UID");
        if (!sudoUid.isEmpty()) qputenv("SUDO_UID", sudoUid);
        QVERIFY2(strSummary.contains("ended with problems\n3 recovered, 0 partial, 1 failed\n") &&
                     strSummary.contains("Failed: lost.doc (the data could not be read whole)"),
                 qPrintable(strSummary));
        for (const char* szPath : {"photo/photo.jpg", "photo/photo(1).jpg", "others/README"}) {
            const std::string strPath = strDest.toStdString() + "/" + szPath;
            QVERIFY2(ReadFileBytes(strPath).rfind("data of ", 0) == 0, szPath);
            struct stat st;
            QVERIFY(stat(strPath.c_str(), &st) == 0 && (geteuid() != 0 || st.st_uid == 65534));
        }

        m_state->nHoldSave = 3;
        m_state->nSaves = 0;
        // A stop keeps the dialog, with what was done before it.
        WhenModal<SCANUI>([&](SCANUI* pDialog) {
            QTRY_COMPARE(m_state->nSaves.load(), 3);
            Answer<CMessageBox>("Yes");
            Click(Named<QPushButton>(pDialog, "Cancel"));
            QVERIFY(pDialog->findChild<QLabel*>("status")->text().contains(
                "2 recovered, 0 partial, 1 failed, 1 not started"));
            Click(Named<QPushButton>(pDialog, "Close"));
        });
        ChooseFolder(strDest + "/again");
        QDir().mkpath(strDest + "/again");
        Click(Named<QPushButton>(m_pWindow.get(), "Recover"));
        QCOMPARE(m_state->nSaves.load(), 3);

        Answer<CMessageBox>("Yes");
        Click(Named<QPushButton>(m_pWindow.get(), "Back"));
        Click(Named<QPushButton>(m_pWindow.get(), "Scan"));
        QCOMPARE(m_pWindow->SelectedCount(), size_t(0));
        QCOMPARE(Summary(), QString("Select 0 bytes in 0 files"));
    }

    // A card with a bad page: the result page says how many sectors could not
    // be read.
    void unreadableSectorsAreTold() {
        twtest::Volume card;
        card.strSourceImage = twtest::FixtureImage("ui_card");
        const std::string strDisk = m_pSandbox->Root() + "/bad.img";
        QVERIFY(twtest::WriteMbrDisk(strDisk, {card}, {}, nullptr));
        const uint64_t u64Sectors = ReadFileBytes(strDisk).size() / 512;
        CFaultyMedium medium(
            strDisk, std::to_string(u64Sectors - 16) + "-" + std::to_string(u64Sectors - 9));
        QVERIFY2(medium.Ok(), medium.Why().c_str());
        QVERIFY(m_pDisks->AddDisk(1, medium.Path()));
        m_pWindow = ShowWindow();
        Click(Named<QPushButton>(m_pWindow.get(), "Start"));
        auto* pDevices = Named<QTreeWidget>(m_pWindow.get(), "Devices");
        QVERIFY(pDevices && pDevices->topLevelItemCount() == 2);
        SelectItem(pDevices, pDevices->topLevelItem(1));  // the whole failing disk
        Click(Named<QPushButton>(m_pWindow.get(), "Scan"));
        auto* pLabel = m_pWindow->findChild<QLabel*>("unreadable");
        QVERIFY(pLabel);
        QCOMPARE(pLabel->text(), QString("8 sectors could not be read. A file that crosses them "
                                         "comes back whole, with zeros where they were."));
        QVERIFY(Shot(m_pWindow.get(), "results_unreadable"));
        m_pWindow.reset();
    }
};

QTEST_MAIN(ResultsTest)
#include "results_test.moc"
