#pragma once

#include <QString>
#include <QStringList>

// Plays the service manager's side of service notification: a Unix datagram
// socket that a daemon started with NOTIFY_SOCKET set to path() writes to.
class NotifyPeer {
public:
    explicit NotifyPeer(const QString& path);
    ~NotifyPeer();
    NotifyPeer(const NotifyPeer&) = delete;
    NotifyPeer& operator=(const NotifyPeer&) = delete;

    bool isValid() const { return fd >= 0; }
    QString path() const { return socketPath; }
    // Collects every datagram that arrives within durationMs, in order.
    QStringList receiveFor(int durationMs);

private:
    QString socketPath;
    int fd = -1;
};
