// The result page, preview and recovery driven with real clicks over a
// scripted engine.
#include <sys/stat.h>

#include <QAccessible>
#include <QBuffer>
#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedLayout>
#include <QTableWidget>
#include <QTreeWidget>

#include <map>

#include "support/DiskImage.h"
#include "support/FaultyMedium.h"
#include "support/Fixtures.h"
#include "support/ScanLogSandbox.h"
#include "ui/DRUI.h"
#include "ui/Dialogs.h"
#include "ui/ScanUI.h"
#include "ScriptedEngine.h"
#include "UiDriver.h"

using namespace twui;

class ResultsTest : public QObject {
    Q_OBJECT

    ScanLogSandbox* m_pSandbox = nullptr;
    twtest::TempDiskDir* m_pDisks = nullptr;
    std::unique_ptr<DRUI> m_pWindow;
    std::shared_ptr<ScriptState> m_state;

    // Page 3 after a scripted scan listing the names (n-th: 100 x n bytes or contents).
    QTreeWidget* ShowResults(const std::vector<const char*>& names,
                             std::map<std::string, std::string> contents = {}) {
        auto state = m_state = std::make_shared<ScriptState>();
        state->scan = {{100, 100, 0, 1, 1, 1}};
        state->contents = std::move(contents);
        for (uint32_t n = 1; n <= names.size(); ++n)
            state->hits.push_back(MakeHit(names[n - 1], n, 100 * n));
        m_pWindow =
            ShowWindow([state](const _PARTITION_ITEM_&) { return new ScriptedEngine(state); });
        Click(Named<QPushButton>(m_pWindow.get(), "Start"));
        SelectItem(Named<QTreeWidget>(m_pWindow.get(), "Devices"),
                   Named<QTreeWidget>(m_pWindow.get(), "Devices")->topLevelItem(0));
        Click(Named<QPushButton>(m_pWindow.get(), "Scan"));
        return Named<QTreeWidget>(m_pWindow.get(), "Types");
    }
    QLabel* SummaryLabel() {
        for (QLabel* pLabel : m_pWindow->findChildren<QLabel*>("summary"))
            if (pLabel->isVisible()) return pLabel;
        return nullptr;
    }
    QString Summary() { return SummaryLabel()->text(); }

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

    // The type tree and its ticks; text and picture previews (scaled to fit).
    void typeTreeSelectionAndPreview() {
        std::map<std::string, std::string> contents{{"notes.txt", std::string(10240, 'n')}};
        for (auto [szName, nWidth] : {std::pair{"wide.png", 1200}, {"narrow.png", 700}}) {
            QImage image(nWidth, 300, QImage::Format_RGB32);
            image.fill(QColor(40, 120, 200));
            QByteArray png;
            QBuffer buffer(&png);
            QVERIFY(buffer.open(QIODevice::WriteOnly) && image.save(&buffer, "PNG"));
            contents[szName] = png.toStdString();
        }
        QTreeWidget* pTree = ShowResults({"a.JPG", "b.jpg", "c.raw", "song.ra", "x.z", "README",
                                          "notes.txt", "wide.png", "narrow.png"},
                                         contents);
        QStringList labels;
        for (QTreeWidgetItemIterator it(pTree); *it; ++it) labels << (*it)->text(0);
        QCOMPARE(labels.join('|'),
                 QString("Photo(6)|jpg Files (2)|png Files (2)|ra Files (1)|raw "
                         "Files (1)|Office(1)|txt Files (1)|Other(2)|unKnow Files "
                         "(1)|z Files (1)"));
        TickItem(pTree, Item(pTree, "jpg Files (2)"));
        QCOMPARE(Summary(), QString("Select 300 bytes in 2 files"));
        QVERIFY(Named<QPushButton>(m_pWindow.get(), "Recover")->isEnabled());
        auto* pTable = Named<QTableWidget>(m_pWindow.get(), "Files");
        Tick(pTable, pTable->visualItemRect(pTable->item(1, 0)));
        QCOMPARE(Item(pTree, "jpg Files (2)")->checkState(0), Qt::PartiallyChecked);
        QCOMPARE(Summary(), QString("Select 100 bytes in 1 file"));
        // What a screen reader hears: the partial tick, and the summary as it reads now.
        QAccessibleInterface* pAccess = QAccessible::queryAccessibleInterface(pTree);
        QStringList described;
        for (int i = 0; i < pAccess->childCount(); ++i)
            described << pAccess->child(i)->text(QAccessible::Description);
        QVERIFY(described.contains("partly ticked"));
        QCOMPARE(QAccessible::queryAccessibleInterface(SummaryLabel())->text(QAccessible::Name),
                 Summary());
        TickItem(pTree, Item(pTree, "Other(2)"));
        QCOMPARE(pTable->rowCount(), 0);
        QCOMPARE(m_pWindow->Selection().size(), size_t(3));
        QVERIFY(Shot(m_pWindow.get(), "page3_selection"));

        auto* pPreview = m_pWindow->findChild<QLabel*>("preview");
        SelectItem(pTree, Item(pTree, "txt Files (1)"));
        QVERIFY(pPreview->text().endsWith("n\r\n"));
        QCOMPARE(pPreview->text().count("\r\n"), 40);
        QVERIFY(Shot(m_pWindow.get(), "page3_text_preview"));
        SelectItem(pTree, Item(pTree, "png Files (2)"));
        QCOMPARE(pPreview->pixmap().size(), QSize(700, 175));
        QVERIFY(Shot(m_pWindow.get(), "page3_picture_preview"));
        QTest::mouseClick(pTable->viewport(), Qt::LeftButton, {},
                          pTable->visualItemRect(pTable->item(1, 1)).center());
        QCOMPARE(pPreview->pixmap().size(), QSize(700, 300));
    }

    // Unique names, a failure counted, the files given to the user; a cancel
    // starts no further file; a new scan empties the selection.
    void recoveryIntoTypeFolders() {
        QTreeWidget* pTree =
            ShowResults({"photo.jpg", "README", "photo.jpg", "lost.doc"},
                        {{"photo.jpg", "data of photo.jpg"}, {"README", "data of README"}});
        for (int i = 0; i < pTree->topLevelItemCount(); ++i)
            TickItem(pTree, pTree->topLevelItem(i));
        QCOMPARE(m_pWindow->Selection().size(), size_t(4));
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
        QVERIFY(m_pWindow->Selection().empty());
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
