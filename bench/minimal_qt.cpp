// The baseline a Qt Core + Network daemon cannot go below: the same
// libraries, one event loop, one local server.
//   minimal_qt exit         one event-loop pass, then exit (start-up cost)
//   minimal_qt serve PATH   listen on PATH, keep one client, idle (memory, wake-ups)
#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 2 && std::strcmp(argv[1], "exit") == 0) {
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
        return app.exec();
    }
    if (argc != 3 || std::strcmp(argv[1], "serve") != 0) {
        std::fputs("usage: minimal_qt exit | minimal_qt serve PATH\n", stderr);
        return 2;
    }
    // Both modes live in one binary, so "exit" loads Qt Network as well.
    QLocalServer server;
    QLocalSocket* client = nullptr;
    const QString path = QString::fromLocal8Bit(argv[2]);
    QLocalServer::removeServer(path);
    server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server.listen(path)) {
        std::fprintf(stderr, "minimal_qt: %s\n", qPrintable(server.errorString()));
        return 2;
    }
    QObject::connect(&server, &QLocalServer::newConnection, [&] {
        while (QLocalSocket* socket = server.nextPendingConnection()) {
            if (client) {
                socket->abort();
                socket->deleteLater();
                continue;
            }
            client = socket;
            QObject::connect(socket, &QLocalSocket::readyRead, [socket] { socket->readAll(); });
            QObject::connect(socket, &QLocalSocket::disconnected, [&client, socket] {
                client = nullptr;
                socket->deleteLater();
            });
        }
    });
    return app.exec();
}
