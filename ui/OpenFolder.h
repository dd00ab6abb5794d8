// Opening a folder of recovered files in the file manager of the person who
// asked for the recovery.
#pragma once

#include <QString>

class QObject;

// Starts xdg-open (open on macOS) on strDir. A root process runs it as the
// user who started Tarnwick through pkexec or sudo, never as root. False, with
// a sentence for the user in strWhy, when it cannot be started; when it ends
// in failure later, a message says so over pOwner.
bool OpenFolderForUser(const QString& strDir, QObject* pOwner, QString& strWhy);
