// The first pages driven with real clicks (offscreen): the kinds of files, the
// device tree, the scan with its cancel question. Pictures go to ui-shots/.
#include <QCheckBox>
#include <QDesktopServices>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QStackedLayout>
#include <QTreeWidget>

#include <unistd.h>

#include "engine/Categories.h"
#include "support/DiskImage.h"
#include "support/ScanLogSandbox.h"
#include "ui/DRUI.h"
#include "ui/Dialogs.h"
#include "ui/ScanUI.h"
#include "ScriptedEngine.h"
#include "UiDriver.h"

using namespace twui;

// Catches what the buttons open instead of starting a browser.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

namespace {

QWidget* CurrentPage(DRUI& window) {
    return window.StackedLayout()->currentWidget();
}

QString HeadingOf(DRUI& window) {
    QLabel* pLabel = CurrentPage(window)->findChild<QLabel*>("heading");
    return pLabel ? pLabel->text() : QString();
}

}  // namespace

class PagesTest : public QObject {
    Q_OBJECT

    ScanLogSandbox* m_pSandbox = nullptr;
    twtest::TempDiskDir* m_pDisks = nullptr;
    std::string m_strDisk;  // disk0: three empty partitions of 2,048, 4,096 and 8,192 sectors

private slots:
    void init() {
        m_pSandbox = new ScanLogSandbox;
        m_pDisks = new twtest::TempDiskDir;
        m_strDisk = m_pSandbox->Root() + "/three.img";
        std::vector<twtest::Volume> volumes(3);
        for (size_t i = 0; i < volumes.size(); ++i) volumes[i].u64Sectors = 2048u << i;
        QVERIFY(twtest::WriteMbrDisk(m_strDisk, volumes, {}, nullptr));
        QVERIFY(m_pDisks->AddDisk(0, m_strDisk));
    }
    void cleanup() {
        delete m_pDisks;
        delete m_pSandbox;
    }

    // Unchecking every kind disables "Start"; one kind again makes "Recover
    // All" partial; a click on the partial box ticks all kinds again.
    void categoryBoxesFollowTheRules() {
        auto pWindow = ShowWindow();
        QVERIFY(Shot(pWindow.get(), "page1_categories"));
        auto* pAll = Named<QCheckBox>(pWindow.get(), "Recover All");
        auto* pStart = Named<QPushButton>(pWindow.get(), "Start");
        for (const TW_CATEGORY_INFO& info : g_twCategories) {
            auto* pBox = Named<QCheckBox>(pWindow.get(), info.szLabel);
            QVERIFY2(pBox && pBox->isChecked(), info.szLabel);
            Click(pBox);
        }
        QCOMPARE(pAll->checkState(), Qt::Unchecked);
        QVERIFY(!pStart->isEnabled());
        QVERIFY(Shot(pWindow.get(), "page1_nothing_ticked"));
        Click(Named<QCheckBox>(pWindow.get(), "Music"));
        QCOMPARE(pAll->checkState(), Qt::PartiallyChecked);
        QVERIFY(pStart->isEnabled());
        QCOMPARE(pWindow->CheckedCategories(), unsigned(TW_CATEGORY_MUSIC));
        QVERIFY(Shot(pWindow.get(), "page1_partial"));
        Click(pAll);  // partial: all
        QCOMPARE(pWindow->CheckedCategories(), unsigned(TW_CATEGORY_ALL));
        Click(pAll);  // all: none
        QCOMPARE(pWindow->CheckedCategories(), 0u);
        // Escape is swallowed: still on page 1, still shown.
        QTest::keyClick(pWindow.get(), Qt::Key_Escape);
        QVERIFY(pWindow->isVisible());
    }

    // Each disk a row of its own with its partitions, numbered on the disk;
    // nothing picked beforehand but a removable disk; arrow keys pick and
    // "Scan" follows; "Refresh" finds a disk added later.
    void deviceTreeListsTheDisks() {
        auto pWindow = ShowWindow();
        Click(Named<QPushButton>(pWindow.get(), "Start"));
        QVERIFY(HeadingOf(*pWindow).startsWith("Select Media For Recovery\n"));
        auto* pTree = Named<QTreeWidget>(pWindow.get(), "Devices");
        QCOMPARE(pTree->topLevelItemCount(), 1);
        QTreeWidgetItem* pDisk = pTree->topLevelItem(0);
        QCOMPARE(pDisk->text(0), QString("Disk 1 \u00b7 three.img"));
        QCOMPARE(pDisk->text(1), QString("8.0 MiB"));
        QCOMPARE(pDisk->childCount(), 3);
        QCOMPARE(pDisk->child(2)->text(0), QString("Partition 3 \u00b7 no file system recognised"));
        QCOMPARE(pDisk->child(0)->text(1), QString("1.0 MiB"));
        QVERIFY(pTree->selectedItems().isEmpty());
        QVERIFY(Shot(pWindow.get(), "page2_devices"));

        auto* pScan = Named<QPushButton>(pWindow.get(), "Scan");
        QVERIFY(!pScan->isEnabled());
        pTree->setFocus();
        QTest::keyClick(pTree, Qt::Key_Down);
        QVERIFY(pScan->isEnabled());
        QCOMPARE(pTree->selectedItems().value(0), pDisk->child(0));

        QVERIFY(m_pDisks->AddDisk(1, m_strDisk));
        Click(Named<QPushButton>(pWindow.get(), "Refresh"));
        QCOMPARE(pTree->topLevelItemCount(), 2);
        QCOMPARE(pTree->topLevelItem(1)->child(0)->text(0).left(11), QString("Partition 1"));
    }

    // "No" to the cancel question keeps the scan running, "Yes" (asked through
    // Escape) stops it, waits for it, and the listing follows.
    void scanDialogAndTheCancelQuestion() {
        auto state = std::make_shared<ScriptState>();
        state->scan = {{50, 90, -1, 4096, 16384, 7, true}, {100, 100, 0, 16384, 16384, 9}};
        state->hits = {MakeHit("a.jpg", 1, 100), MakeHit("b.txt", 2, 300)};
        auto pWindow =
            ShowWindow([state](const _PARTITION_ITEM_&) { return new ScriptedEngine(state); });
        Click(Named<QCheckBox>(pWindow.get(), "Photo"));  // the listing asks for the rest
        Click(Named<QPushButton>(pWindow.get(), "Start"));
        auto* pTree = Named<QTreeWidget>(pWindow.get(), "Devices");
        QTest::mouseClick(pTree->viewport(), Qt::LeftButton, {},
                          pTree->visualItemRect(pTree->topLevelItem(0)).center());

        bool bChecked = false;
        WhenModal<SCANUI>([&](SCANUI* pDialog) {
            auto* pStatus = pDialog->findChild<QLabel*>("status");
            QTRY_VERIFY(pStatus->text().contains("Read 2.0 MiB of 8.0 MiB\n7 files found"));
            QVERIFY(pStatus->text().contains("Estimating the time left"));
            Shot(pWindow.get(), "scan_dialog", pDialog);
            Answer<CMessageBox>("No", pWindow.get(), "scan_cancel_question");
            Click(Named<QPushButton>(pDialog, "Cancel"));
            QVERIFY(pDialog->isVisible());
            const int nReports = state->nScanReports;
            QTRY_VERIFY(state->nScanReports > nReports + 5);
            QVERIFY(!state->bScanStopped);
            Answer<CMessageBox>("Yes");
            QTest::keyClick(pDialog, Qt::Key_Escape);
            bChecked = true;
        });
        Click(Named<QPushButton>(pWindow.get(), "Scan"));
        QVERIFY(bChecked);
        QVERIFY(state->bScanStopped);
        std::wstring wstrWanted = BuildCategoryFilterW(TW_CATEGORY_ALL & ~TW_CATEGORY_PHOTO);
        QVERIFY(state->wstrSearchKey == wstrWanted);
        QCOMPARE(pWindow->SearchResults().size(), size_t(2));
        QVERIFY(HeadingOf(*pWindow).contains("The scan found 2 recoverable files."));
        QVERIFY(Shot(pWindow.get(), "page3_after_scan"));

        // A right click keeps everything; Back and closing ask before the
        // results go ("No" keeps them).
        Click(CurrentPage(*pWindow), Qt::RightButton);
        QVERIFY(pWindow->isVisible() && pWindow->Engine());
        Answer<CMessageBox>("No", pWindow.get(), "back_question");
        Click(Named<QPushButton>(pWindow.get(), "Back"));
        Answer<CMessageBox>("No", pWindow.get(), "close_question");
        QVERIFY(!pWindow->close());
        QVERIFY(pWindow->Engine());
        // A finished scan closes its dialog by itself; Back leaves the results.
        Answer<CMessageBox>("Yes");
        Click(Named<QPushButton>(pWindow.get(), "Back"));
        QVERIFY(!pWindow->Engine());
        state->bRelease = true;
        Click(Named<QPushButton>(pWindow.get(), "Scan"));
        QVERIFY(HeadingOf(*pWindow).contains("found 2 recoverable files"));
        Answer<CMessageBox>("Yes");
        QVERIFY(pWindow->close());
    }

    // A partition past the end of the image: a message, and the device page stays.
    void scanThatCannotStartSaysSo() {
        QVERIFY(truncate(m_strDisk.c_str(), 2048 * 512 * 4) == 0);
        auto pWindow = ShowWindow();
        Click(Named<QPushButton>(pWindow.get(), "Start"));
        auto* pTree = Named<QTreeWidget>(pWindow.get(), "Devices");
        QTest::mouseClick(pTree->viewport(), Qt::LeftButton, {},
                          pTree->visualItemRect(pTree->topLevelItem(0)->child(2)).center());
        QString strMessage;
        WhenModal<CMessageBox>([&](CMessageBox* pBox) {
            strMessage = pBox->findChild<QLabel*>("message")->text();
            Shot(pWindow.get(), "scan_unreadable_message", pBox);
            Click(Named<QPushButton>(pBox, "OK"));
        });
        Click(Named<QPushButton>(pWindow.get(), "Scan"));
        QVERIFY2(strMessage.contains("could not read Partition 3 (/dev/disk0)"),
                 qPrintable(strMessage));
        QVERIFY(HeadingOf(*pWindow).startsWith("Select Media For Recovery"));
        // Without results, the window closes without a question.
        QVERIFY(pWindow->close());
    }

    // The window makes its scan-log folder; every control has a name a screen
    // reader can say; the page buttons open their addresses (Help: README).
    void controlsAreNamedAndPagesOpen() {
        UrlCatcher catcher;
        for (const char* szScheme : {"file", "https"})
            QDesktopServices::setUrlHandler(szScheme, &catcher, "open");
        qputenv("TARNWICK_SUPPORT_URL", "https://example.org/support");
        const QString strScanLog = QString::fromStdString(m_pSandbox->ScanLog());
        QVERIFY(QDir(strScanLog).removeRecursively());
        auto pWindow = ShowWindow();
        QVERIFY(QFileInfo(strScanLog).isDir());
        QCOMPARE(pWindow->windowTitle(), QString("Tarnwick"));
        // A normal window with a title bar, that can be made smaller.
        QVERIFY(!(pWindow->windowFlags() & Qt::FramelessWindowHint));
        QVERIFY(pWindow->minimumSize().width() < pWindow->width());
        for (QAbstractButton* pButton : pWindow->findChildren<QAbstractButton*>())
            QVERIFY2(!pButton->accessibleName().isEmpty(), qPrintable(pButton->text()));
        for (const char* szName : {"About", "Support", "Help"}) {
            auto* pButton = Named<QPushButton>(pWindow.get(), szName);
            QVERIFY2(pButton && !pButton->icon().isNull(), szName);
        }
        Click(Named<QPushButton>(pWindow.get(), "Support"));
        Click(Named<QPushButton>(pWindow.get(), "Help"));
        qunsetenv("TARNWICK_SUPPORT_URL");
        for (const char* szScheme : {"file", "https"}) QDesktopServices::unsetUrlHandler(szScheme);
        QCOMPARE(catcher.opened.size(), 2);
        QCOMPARE(catcher.opened[0], QUrl("https://example.org/support"));
        QVERIFY(catcher.opened[1].isLocalFile());
        QVERIFY(catcher.opened[1].toLocalFile().endsWith("README.md"));
    }
};

QTEST_MAIN(PagesTest)
#include "pages_test.moc"
