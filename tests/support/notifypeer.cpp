// A service-manager stand-in for notification tests.
#include "notifypeer.h"

#include <QDeadlineTimer>
#include <QFile>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
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

QStringList NotifyPeer::receiveFor(int durationMs)
{
    QStringList messages;
    const QDeadlineTimer deadline(durationMs);
    while (fd >= 0 && !deadline.hasExpired()) {
        pollfd entry { fd, POLLIN, 0 };
        if (::poll(&entry, 1, int(deadline.remainingTime())) <= 0)
            continue;
        char buffer[4096];
        const ssize_t size = ::recv(fd, buffer, sizeof(buffer), 0);
        if (size > 0)
            messages << QString::fromUtf8(buffer, int(size));
    }
    return messages;
}
