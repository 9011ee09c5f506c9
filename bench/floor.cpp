// The framework floor: what any Qt server pays to answer a control request, and nothing more. Each
// line is parsed by the JSON reader and answered with one compact status of the guard's members,
// built and written as the guard builds and writes its own.
//   bench_floor SOCKET
#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QUuid>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QLocalServer server;
    if (argc != 2 || !server.listen(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "usage: bench_floor SOCKET (%s)\n", qPrintable(server.errorString()));
        return 2;
    }
    // A session and a lease as long as the guard's, so that the status costs what the guard's does.
    const QString session = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QString lease = QUuid::createUuid().toString(QUuid::WithoutBraces);
    QObject::connect(&server, &QLocalServer::newConnection, [&server, &session, &lease] {
        while (QLocalSocket* socket = server.nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            // What has arrived, read at once and cut at line feeds (readLine goes a byte at a time here).
            QObject::connect(
                socket, &QLocalSocket::readyRead, [socket, &session, &lease, pending = QByteArray()]() mutable {
                    pending += socket->read(socket->bytesAvailable());
                    for (int lineFeed; (lineFeed = pending.indexOf('\n')) >= 0; pending.remove(0, lineFeed + 1)) {
                        const QJsonObject message = QJsonDocument::fromJson(pending.left(lineFeed)).object();
                        // The request's own counter, so that the client can tell which request was answered.
                        const QJsonObject status {
                            { QStringLiteral("version"), 1 },
                            { QStringLiteral("type"), QStringLiteral("status") },
                            { QStringLiteral("session"), session },
                            { QStringLiteral("lease"), lease },
                            { QStringLiteral("serial"), QStringLiteral("SN-0001") },
                            { QStringLiteral("commandSequence"),
                                message.value(QLatin1String("sequence")).toString(QStringLiteral("0")) },
                            { QStringLiteral("requestedRpm"), 6000 },
                            { QStringLiteral("ready"), true },
                            { QStringLiteral("rpmValid"), true },
                            { QStringLiteral("rpm"), 6000 },
                            { QStringLiteral("ageMs"), 0 },
                            { QStringLiteral("fault"), false },
                            { QStringLiteral("reason"), QString() },
                            { QStringLiteral("simulation"), true },
                        };
                        QByteArray frame = QJsonDocument(status).toJson(QJsonDocument::Compact);
                        frame += '\n';
                        socket->write(frame);
                    }
                });
        }
    });
    return app.exec();
}
