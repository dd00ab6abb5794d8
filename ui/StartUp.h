// Process-wide set-up of the application: the debug log, the temporary-file
// sweep, the privileged instance and the relaunch with administrator rights.
#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class QApplication;

// Qt's message handler: each debug message becomes one line "Debug: %1" at the
// end of "Log.txt" in the working directory; warnings and errors are dropped.
void customMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& msg);
// The core's debug sink: hands each engine line to Qt's debug channel.
void ForwardCoreDebugLine(const char* szLine);

// Deletes every entry of the folder whose name contains "tmp." (sub-folders
// are not descended into). False when the folder cannot be opened.
bool DeleteTmpFile(const char* szPath);

// The instance with rights: standard error to "Out.txt", the main window and
// its event loop, then the sweep of the scan-log folder and "Out.txt" removed.
int RunPrivilegedInstance(QApplication& app);

// Whether this process may read raw disks as it is.
bool HasAdministratorRights();
// Starts this program again with administrator rights and the single argument
// "start" through pkexec, and waits for it. Returns the launcher's exit status:
// 0 also when the user dismissed the request; when pkexec is missing or the
// rights were refused (or no agent could ask), says how to run the program
// (message box and standard error) and returns 1.
int RelaunchWithAdministratorRights(const QString& strExecutable);

#ifndef __APPLE__
// What pkexec runs: the installed program itself with "start", or, when the
// program runs from elsewhere or its own variables are set, /usr/bin/env with
// the working folder, the display and the TARNWICK_ variables before it.
QStringList PkexecArguments(const QString& strExecutable, const QProcessEnvironment& env,
                            const QString& strWorkDir);
#endif

// Test hooks, read from the environment by the privileged instance:
// TARNWICK_UI_TEST_SNAPSHOT=FILE.png saves the main window (or the message
// that the program cannot start) once shown, and TARNWICK_UI_TEST_CLOSE_MS=N
// closes it N milliseconds after it is shown.
