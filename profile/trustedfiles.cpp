// Ownership and permissions of the files a real guard reads and runs.
#include "profile/trustedfiles.h"

#include "profile/failwith.h"

#include <QFile>
#include <QFileInfo>
#include <sys/stat.h>

namespace {

// path and every folder above it: owned by root and writable by nobody else. A sticky folder
// writable by all (such as /tmp) is allowed above an entry that exists, which only its owner
// may then replace.
bool rootAlone(const QString& path, QString* error)
{
    bool entryExists = false; // the one below the folder in hand
    for (QString at = QFileInfo(path).absoluteFilePath();; at = QFileInfo(at).path()) {
        struct stat status;
        if (lstat(QFile::encodeName(at).constData(), &status) == 0) {
            // A link's own mode means nothing; where it points is checked on its own.
            const bool othersMayWrite = !S_ISLNK(status.st_mode) && (status.st_mode & (S_IWGRP | S_IWOTH));
            const bool stickyAboveEntry = S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX) && entryExists;
            if (status.st_uid != 0 || (othersMayWrite && !stickyAboveEntry))
                return failWith(error, QStringLiteral("Writable by a user other than root: %1").arg(at));
            entryExists = true;
        } else {
            entryExists = false;
        }
        if (at == QLatin1String("/"))
            return true;
    }
}

// The path as given and, where links lead elsewhere, the file they lead to.
bool rootAloneWithTarget(const QString& path, QString* error)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    return rootAlone(path, error) && (target.isEmpty() || rootAlone(target, error));
}

} // namespace

bool checkTrustedFiles(const QString& profilePath, const DeviceProfile& profile, QString* error)
{
    if (!QFileInfo(profile.BackendProgram).isAbsolute())
        return failWith(error, QStringLiteral("BackendProgram is not an absolute path"));
    return rootAloneWithTarget(profilePath, error) && rootAloneWithTarget(profile.BackendProgram, error);
}
