#pragma once

#include <QString>

// The status socket lies beside the control socket, named after it, so that guards on
// different control sockets in one folder each have their own: fan.sock has fan.status.sock.
inline QString statusSocketPathFor(const QString& controlSocketPath)
{
    QString path = controlSocketPath;
    if (path.endsWith(QLatin1String(".sock")))
        path.chop(5);
    return path + QLatin1String(".status.sock");
}
