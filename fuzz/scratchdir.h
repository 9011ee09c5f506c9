#pragma once

#include <QDir>
#include <QFileInfo>
#include <QLatin1String>
#include <QString>

// A QTemporaryDir template on a memory file system when there is one. Both
// harnesses write files for every input (and the guard syncs its writer lock
// at every start); on a disk that costs more than running the input.
inline QString scratchDirTemplate(const char* name)
{
    const QFileInfo memory(QStringLiteral("/dev/shm"));
    const QString base = memory.isDir() && memory.isWritable() ? memory.filePath() : QDir::tempPath();
    return base + QLatin1Char('/') + QLatin1String(name) + QStringLiteral("-XXXXXX");
}
