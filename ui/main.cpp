// Tarnwick's desktop application. Started with "start" (the relaunch passes
// it), or as root, it shows its window; otherwise it asks for administrator
// rights and starts itself again. --help and --version answer on the terminal
// without a window; any other argument is refused with the usage.
#include <QApplication>
#include <QIcon>

#include <cstring>

#include "TarnwickVersion.h"
#include "common/DebugLog.h"
#include "ui/CommandLine.h"
#include "ui/PreviewDecoder.h"
#include "ui/StartUp.h"

int main(int argc, char** argv) {
    int nExit = 0;
    if (HandleInformationArguments(argc, argv, nExit)) return nExit;
    // The decoder of previews and thumbnails, run apart so a fault ends only it.
    if (argc == 2 && std::strcmp(argv[1], "--decode-pictures") == 0) {
        QCoreApplication helper(argc, argv);
        return RunPictureDecoder();
    }
    // Without a display Qt would abort with advice that does not apply here.
    if (!CheckDisplay()) return 1;
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(TARNWICK_VERSION);
    // The window's icon, and the desktop entry it belongs to (tarnwick.desktop).
    QApplication::setWindowIcon(QIcon(":/image/tarnwick.png"));
    QGuiApplication::setDesktopFileName("tarnwick");
    // Narrow text is GB18030 (common/Platform.h). Qt 6 has no codec for C
    // strings to install: the user interface converts narrow text explicitly
    // (ui/TextCodec.h), and its own literals are plain ASCII.
    qInstallMessageHandler(customMessageHandler);
    tw::SetLogSink(ForwardCoreDebugLine);

    if (argc == 2 || HasAdministratorRights()) return RunPrivilegedInstance(app);
    return RelaunchWithAdministratorRights(QCoreApplication::applicationFilePath());
}
