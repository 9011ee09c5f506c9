#pragma once

#include "protocol/framereader.h"

#include <QJsonObject>
#include <QLocalSocket>
#include <QString>

// Where to read a guard's statuses: its status socket, which takes any number of readers, or
// for a guard without one the control socket itself, which serves one client at a time.
QString statusReadPath(const QString& controlSocketPath);

// A blocking connection to the guard's control socket for a command-line
// client: status frames in, every wait bounded.
class GuardConnection {
public:
    enum class Read { Status, Timeout, Closed };

    // Tries to connect until timeoutMs has passed (the guard serves one client
    // at a time and turns others away). On failure *error says why.
    bool open(const QString& socketPath, int timeoutMs, QString* error);

    // Waits up to timeoutMs for the next status. A stream that is no guard's (a frame past its
    // limit, bytes that are not JSON) is closed, and brokenStream() says why.
    Read nextStatus(int timeoutMs, QJsonObject* status);
    QString brokenStream() const { return broken; }
    void close();

private:
    QString connectError(const QString& socketPath) const;

    QLocalSocket socket;
    FrameReader frames;
    QString broken;
    QJsonObject welcome; // the status that showed the connection was accepted
    bool hasWelcome = false;
};
