// The result page with 100,000 found files, against a plain baseline in the
// same run: a QTableWidget holding the same rows as items, the way the page
// held its rows before. Each is measured in a process of its own (memory is
// the process's): time to the first paint of the list, scrolling to its end,
// and resident memory; for the result page also the scan-to-page time,
// a search keystroke, a sort and the switch to the folder view.
//   tarnwick_bench_ui [FILES]            runs both and prints the figures
//   tarnwick_bench_ui plain|browser N    one of them (used by the above)
//   tarnwick_bench_ui card IMAGE         the application over IMAGE presented
//                                        as a disk: its own scan, time to the
//                                        result page, the list, peak memory
// Offscreen, release build (bench/ui_browser.sh). Figures only.
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTableWidget>
#include <QTreeView>
#include <QTreeWidget>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "support/ScratchDir.h"
#include "ui/DRUI.h"
#include "ui/ResultModels.h"
#include "ui/ScriptedEngine.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A figure of /proc/self/status in KiB: "VmRSS:" now, "VmHWM:" the peak.
long StatusKiB(const char* szField = "VmRSS:") {
    long nKiB = -1;
    if (FILE* pFile = std::fopen("/proc/self/status", "r")) {
        char szLine[256];
        while (std::fgets(szLine, sizeof(szLine), pFile))
            if (std::strncmp(szLine, szField, std::strlen(szField)) == 0)
                nKiB = std::atol(szLine + std::strlen(szField));
        std::fclose(pFile);
    }
    return nKiB;
}
long RssKiB() {
    return StatusKiB();
}

// The names, sizes and times of file n, and its folder (100 files a folder).
std::string NameOf(int n) {
    return "IMG_" + std::to_string(100000 + n).substr(1) + ".JPG";
}
std::wstring FolderOf(int n) {
    return L"DCIM/" + std::to_wstring(100 + n / 100) + L"CANON/";
}

// Lets the window lay out what changed, then paints the view at once.
void Paint(QAbstractItemView* pView) {
    QCoreApplication::processEvents();
    pView->viewport()->repaint();
}

void Print(const char* szWhat, double dMs) {
    std::printf("%-34s %9.1f ms\n", szWhat, dMs);
}

// The window shown, the first disk picked and scanned (with the engines of
// maker, or the application's own), the result page painted: the time it took
// is printed. The page's list of kinds.
QTreeView* ScanFirstDisk(DRUI& window, const char* szWhat, DRUI::EngineMaker maker = {}) {
    window.Init();
    window.SetPictureDecoder("/bin/false");
    if (maker) window.SetEngineMaker(std::move(maker));
    window.show();
    window.findChild<QPushButton*>("Start")->click();
    auto* pDevices = window.findChild<QTreeWidget*>("Devices");
    pDevices->setCurrentItem(pDevices->topLevelItem(0));
    const auto start = Clock::now();
    window.findChild<QPushButton*>("Scan")->click();
    auto* pTypes = window.findChild<QTreeView*>("Types");
    Paint(pTypes);
    Print((std::string(szWhat) + ": scan to the page painted").c_str(), MsSince(start));
    return pTypes;
}

// The rows as the page held them before: one item per cell.
int RunPlain(int nFiles) {
    const long nStart = RssKiB();
    auto start = Clock::now();
    QTableWidget table(nFiles, COL_COUNT);
    table.resize(900, 500);
    for (int n = 0; n < nFiles; ++n) {
        auto* pName = new QTableWidgetItem(QString::fromStdString(NameOf(n)));
        pName->setCheckState(Qt::Unchecked);
        table.setItem(n, COL_NAME, pName);
        table.setItem(n, COL_SIZE, new QTableWidgetItem(QString::number(1000 + n % 5000)));
        table.setItem(n, COL_MODIFIED, new QTableWidgetItem("2023-07-14 09:12"));
        table.setItem(n, COL_PATH, new QTableWidgetItem(QString::fromStdWString(FolderOf(n))));
        table.setItem(n, COL_STATE, new QTableWidgetItem("deleted"));
        table.setItem(n, COL_CONDITION, new QTableWidgetItem("good"));
    }
    table.show();
    Paint(&table);
    Print("plain: filled and painted", MsSince(start));
    start = Clock::now();
    table.scrollToBottom();
    Paint(&table);
    Print("plain: scrolled to the end", MsSince(start));
    std::printf("plain: memory %ld KiB\n", RssKiB() - nStart);
    return 0;
}

int RunBrowser(int nFiles) {
    const long nStart = RssKiB();
    auto state = std::make_shared<ScriptState>();
    state->scan = {{100, 100, 0, 1, 1, 1}};
    for (int n = 0; n < nFiles; ++n) {
        const std::string strName = NameOf(n);
        state->hits.push_back(MakeFatHit(strName.c_str(), static_cast<uint32_t>(n + 1),
                                         1000 + n % 5000,
                                         1600000000LL + 37LL * (n * 7919 % nFiles)));
        state->parents[strName] = FolderOf(n);
    }
    // A disk to pick: the scripted engine reads nothing of it.
    CScratchDir disks;
    setenv("TARNWICK_DISK_DIR", disks.Path().c_str(), 1);
    if (std::FILE* pDisk = std::fopen((disks.Path() + "/disk0").c_str(), "w")) {
        std::fseek(pDisk, (1 << 20) - 1, SEEK_SET);
        std::fputc(0, pDisk);
        std::fclose(pDisk);
    }
    const long nHits = RssKiB() - nStart;
    DRUI window;
    auto* pTypes = ScanFirstDisk(
        window, "browser", [state](const _PARTITION_ITEM_&) { return new ScriptedEngine(state); });

    auto* pTable = window.findChild<QTableView*>("Files");
    auto start = Clock::now();
    pTypes->setCurrentIndex(pTypes->model()->index(0, 0, pTypes->model()->index(0, 0)));
    Paint(pTable);
    Print("browser: list shown and painted", MsSince(start));
    start = Clock::now();
    pTable->scrollToBottom();
    Paint(pTable);
    Print("browser: scrolled to the end", MsSince(start));
    start = Clock::now();
    for (int i = 0; i < 50; ++i) {
        pTable->verticalScrollBar()->setValue(pTable->verticalScrollBar()->maximum() * i / 50);
        Paint(pTable);
    }
    Print("browser: 50 jumps through the list", MsSince(start));
    start = Clock::now();
    window.findChild<QLineEdit*>("Search")->setText("7");
    Paint(pTable);
    Print("browser: search keystroke", MsSince(start));
    window.findChild<QLineEdit*>("Search")->clear();
    start = Clock::now();
    pTable->horizontalHeader()->setSortIndicator(COL_MODIFIED, Qt::AscendingOrder);
    Paint(pTable);
    Print("browser: sorted by Modified", MsSince(start));
    start = Clock::now();
    window.findChild<QPushButton*>("By folder")->click();
    Paint(window.findChild<QTreeView*>("Folders"));
    Print("browser: folder view painted", MsSince(start));
    std::printf("browser: memory %ld KiB (%ld KiB of it the engine's hits)\n", RssKiB() - nStart,
                nHits);
    return 0;
}

// The application as a user runs it over a card image: the disk picked, Scan
// (the deep scan and the search, as the window runs them), the result page,
// the largest kind of file listed and scrolled to its end.
int RunCard(const char* szImage) {
    CScratchDir disks;
    setenv("TARNWICK_DISK_DIR", disks.Path().c_str(), 1);
    if (::symlink(szImage, (disks.Path() + "/disk0").c_str()) != 0) return 1;
    const long nStart = RssKiB();
    DRUI window;
    auto* pTypes = ScanFirstDisk(window, "card");
    std::printf("card: memory after the scan %ld KiB\n", RssKiB() - nStart);

    // The kind with the most files, opened and scrolled through.
    QAbstractItemModel* pModel = pTypes->model();
    QModelIndex biggest;
    int nMost = -1;
    for (int nTop = 0; nTop < pModel->rowCount(); ++nTop)
        for (int n = 0; n < pModel->rowCount(pModel->index(nTop, 0)); ++n) {
            const QModelIndex kind = pModel->index(n, 0, pModel->index(nTop, 0));
            const QString strLabel = kind.data().toString();
            const int nFiles = strLabel.section('(', -1).chopped(1).toInt();
            if (nFiles > nMost) nMost = nFiles, biggest = kind;
        }
    if (!biggest.isValid()) return 1;
    auto* pTable = window.findChild<QTableView*>("Files");
    auto start = Clock::now();
    pTypes->setCurrentIndex(biggest);
    Paint(pTable);
    Print("card: largest kind listed", MsSince(start));
    std::printf("card: %s, %d rows\n", qPrintable(biggest.data().toString()),
                pTable->model()->rowCount());
    start = Clock::now();
    pTable->scrollToBottom();
    Paint(pTable);
    Print("card: scrolled to the end", MsSince(start));
    std::printf("card: memory %ld KiB, peak %ld KiB\n", RssKiB() - nStart, StatusKiB("VmHWM:"));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3) {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        CScratchDir support;
        setenv("TARNWICK_SUPPORT_DIR", support.Path().c_str(), 1);
        QApplication app(argc, argv);
        const int nFiles = std::atoi(argv[2]);
        if (std::strcmp(argv[1], "card") == 0) return RunCard(argv[2]);
        return std::strcmp(argv[1], "plain") == 0 ? RunPlain(nFiles) : RunBrowser(nFiles);
    }
    const std::string strFiles = argc > 1 ? argv[1] : "100000";
    std::printf("%s files, each measured in its own process\n", strFiles.c_str());
    for (const char* szMode : {"plain", "browser"}) {
        std::fflush(stdout);
        const pid_t pid = fork();
        if (pid == 0) {
            execl("/proc/self/exe", argv[0], szMode, strFiles.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        int nStatus = 0;
        waitpid(pid, &nStatus, 0);
        if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0) return 1;
    }
    return 0;
}
