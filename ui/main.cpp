// Tarnwick's desktop application. Started with exactly one argument (the
// relaunch passes "start") it is the instance with administrator rights and
// shows its window; otherwise it asks for the rights and starts itself again.
#include <QApplication>

#include "common/DebugLog.h"
#include "ui/StartUp.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // Narrow text is GB18030 (common/Platform.h). Qt 6 has no codec for C
    // strings to install: the user interface converts narrow text explicitly
    // (ui/TextCodec.h), and its own literals are plain ASCII.
    qInstallMessageHandler(customMessageHandler);
    tw::SetLogSink(ForwardCoreDebugLine);

    if (argc == 2 || HasAdministratorRights()) return RunPrivilegedInstance(app);
    return RelaunchWithAdministratorRights(QCoreApplication::applicationFilePath());
}
