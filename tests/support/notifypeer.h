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

    // Reads what has arrived and returns the longest time, in ms, between two
    // arrivals of message (by the kernel's arrival stamps, so reading late does
    // not matter), counted from the last one seen by an earlier call.
    qint64 longestGapMs(const QString& message);

private:
    struct Datagram {
        QString text;
        qint64 arrivalMs;
    };
    QList<Datagram> receiveStamped(int durationMs);
    qint64 lastArrivalMs = -1;

    QString socketPath;
    int fd = -1;
};
