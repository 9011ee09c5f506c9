// A service-manager stand-in for notification tests.
#include "notifypeer.h"

#include <QDeadlineTimer>
#include <QFile>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

NotifyPeer::NotifyPeer(const QString& path)
    : socketPath(path)
{
    const QByteArray encoded = QFile::encodeName(path);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (encoded.size() >= int(sizeof(address.sun_path)))
        return;
    std::memcpy(address.sun_path, encoded.constData(), size_t(encoded.size()));
    fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd >= 0)
        ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof(on));
    if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        fd = -1;
    }
}

NotifyPeer::~NotifyPeer()
{
    if (fd >= 0) {
        ::close(fd);
        QFile::remove(socketPath);
    }
}

QList<NotifyPeer::Datagram> NotifyPeer::receiveStamped(int durationMs)
{
    QList<Datagram> datagrams;
    const QDeadlineTimer deadline(durationMs);
    while (fd >= 0) {
        pollfd entry { fd, POLLIN, 0 };
        if (::poll(&entry, 1, int(qMax<qint64>(deadline.remainingTime(), 0))) <= 0) {
            if (deadline.hasExpired())
                break;
            continue;
        }
        char buffer[4096];
        char control[CMSG_SPACE(sizeof(timeval))];
        iovec data { buffer, sizeof(buffer) };
        msghdr header {};
        header.msg_iov = &data;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof(control);
        const ssize_t size = ::recvmsg(fd, &header, 0);
        if (size <= 0)
            continue;
        qint64 arrivalMs = -1;
        for (cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMP) {
                timeval stamp;
                std::memcpy(&stamp, CMSG_DATA(c), sizeof(stamp));
                arrivalMs = qint64(stamp.tv_sec) * 1000 + stamp.tv_usec / 1000;
            }
        }
        datagrams.append({ QString::fromUtf8(buffer, int(size)), arrivalMs });
    }
    return datagrams;
}

QStringList NotifyPeer::receiveFor(int durationMs)
{
    QStringList messages;
    for (const Datagram& datagram : receiveStamped(durationMs))
        messages << datagram.text;
    return messages;
}

qint64 NotifyPeer::longestGapMs(const QString& message)
{
    qint64 longest = 0;
    for (const Datagram& datagram : receiveStamped(0)) {
        if (datagram.text != message || datagram.arrivalMs < 0)
            continue;
        if (lastArrivalMs >= 0)
            longest = qMax(longest, datagram.arrivalMs - lastArrivalMs);
        lastArrivalMs = datagram.arrivalMs;
    }
    return longest;
}
