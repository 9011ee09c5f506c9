// The daemon and ostrelctl as processes: the command line, start-up refusals, one-shot
// recovery, a real service's notifications, and ostrelctl beside a guard or something that is
// not one (tables/daemon.txt). Rows that need root skip for anyone else.
#include "harness.h"

#include <QLocalServer>

class tst_Daemon : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void run_data() { addRows("daemon"); }
    void run();
};

void tst_Daemon::run()
{
    QFETCH(QString, program);
    QFETCH(QString, arguments);
    QFETCH(QString, profile);
    QFETCH(QString, env);
    QFETCH(QString, exitCode);
    QFETCH(QString, output);
    // Real mode (<fan>: on kevo-sim) and check-profile trust only files that root alone may change.
    if ((profile.contains("<fan>") || arguments.contains("check-profile")) && geteuid() != 0)
        QSKIP("needs root");
    QTemporaryDir dir;
    // fan:LINE: a control line for kevo-sim
    const QStringList changes = profile.replace("<fan>", kShortTimings + ';' + kKevoSimFan).split(';');
    useFan(
        dir, changes.filter(QRegularExpression("^fan:")).replaceInStrings(QRegularExpression("^fan:"), "").join(';'));
    const QByteArray written
        = profileText(changes.filter(QRegularExpression("^(?!fan:)")).join(';').replace("<dir>", dir.path()));
    writeFile(dir, "p.ini", written);
    // Fan programs: one that runs only where the guard's environment has reached it; one that
    // reads its input to the end and leaves a child behind, noted in "children"; one that
    // anybody may change.
    const auto script = [&](const char* name, const QByteArray& text, QFileDevice::Permissions mode) {
        QFile::setPermissions(writeFile(dir, name, "#!/bin/sh\n" + text), mode);
    };
    script("fan.sh", "[ \"$QT_NO_GLIB$QT_ENABLE_REGEXP_JIT\" = 11 ] && exec " KEVO_SIM_PROGRAM " \"$@\"\nexit 1\n",
        QFile::ExeOwner | QFile::ReadOwner);
    script("wrapper.sh",
        "cat\nsleep 60 >/dev/null 2>&1 &\necho $! >>" + dir.filePath("children").toUtf8()
            + "\nexec " KEVO_SIM_PROGRAM " \"$@\"\n",
        QFile::ExeOwner | QFile::ReadOwner);
    script("shared.sh", "exit 1\n", QFileDevice::Permissions(0x7777));
    NotifyPeer peer(dir.filePath("notify"));
    // <live>: something answers on live.sock, and says nothing, or with <endless> sends bytes
    // without a line feed (up to 64 MiB), or with <says JSON> sends that line.
    QLocalServer live;
    const QString says = env.section("<says ", 1).section('>', 0, 0);
    QObject::connect(&live, &QLocalServer::newConnection, [&] {
        QLocalSocket* asker = live.nextPendingConnection();
        if (env.contains("<endless>")) {
            const auto more = [asker, sent = std::make_shared<qint64>(0)] {
                if (asker->bytesToWrite() < (1 << 16) && (*sent += 1 << 16) <= (64 << 20))
                    asker->write(QByteArray(1 << 16, 'x'));
            };
            QObject::connect(asker, &QLocalSocket::bytesWritten, more);
            more();
        } else if (!says.isEmpty())
            asker->write(says.toUtf8() + '\n');
    });
    if (env.contains("<live>"))
        QVERIFY(live.listen(dir.filePath("live.sock")));
    // <guard>: a guard in simulation at a relative --socket, over a socket file a dead guard
    // left, and with its lock beside it; <busy>: it serves another client.
    QProcess server;
    Client holder;
    if (env.contains("<guard>")) {
        delete new NotifyPeer(dir.filePath("rel.sock"));
        server.setWorkingDirectory(dir.path());
        server.start(OSTREL_PROGRAM, { "--simulate", "--profile", "p.ini", "--socket", "rel.sock" });
        QVERIFY(holder.connectTo(dir.filePath("rel.sock")) && QFile::exists(dir.filePath("rel.sock.lock")));
        if (!env.contains("<busy>"))
            holder.socket.abort();
    }
    // The test's environment without a service manager or log settings, and the row's.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : { "NOTIFY_SOCKET", "WATCHDOG_USEC", "QT_MESSAGE_PATTERN", "QT_LOGGING_RULES" })
        environment.remove(name);
    for (const QString& change : env.replace("<dir>", dir.path()).split(';', Qt::SkipEmptyParts).filter("="))
        environment.insert(change.section('=', 0, 0), change.section('=', 1));
    QProcess guard;
    guard.setWorkingDirectory(dir.path());
    guard.setProcessEnvironment(environment);
    guard.setProcessChannelMode(QProcess::MergedChannels);
    guard.start(program == "ostrel"  ? OSTREL_PROGRAM
            : program == "ostrelctl" ? OSTRELCTL_PROGRAM
                                     : OSTREL_WITHOUT_REAL_BACKEND_PROGRAM,
        arguments.replace("<dir>", dir.path()).split(' '));
    // A service runs until stopped: until it has fed the watchdog twice, here. The event loop
    // runs meanwhile, for the <live> server.
    if (!QTest::qWaitFor([&] { return guard.state() == QProcess::NotRunning; }, exitCode == "killed" ? 0 : 10000)) {
        QVERIFY(QTest::qWaitFor([&] { return peer.count("WATCHDOG=1") == 2; }));
        guard.kill();
        guard.waitForFinished();
    }
    server.kill();
    server.waitForFinished();
    QString printed = guard.readAll();
    for (const QString& notification : peer.received)
        printed += notification + '\n';
    output.replace("<dir>", dir.path());
    const QString pattern = output.startsWith('~') ? output.mid(1).replace("\\n", "\n")
                                                   : QRegularExpression::escape(output.replace("\\n", "\n") + '\n');
    const QRegularExpression expected(
        QRegularExpression::anchoredPattern(pattern), QRegularExpression::DotMatchesEverythingOption);
    QVERIFY2(expected.match(printed).hasMatch(), qPrintable(printed));
    QCOMPARE(guard.exitStatus() == QProcess::NormalExit ? QString::number(guard.exitCode()) : "killed", exitCode);
    QFile profileFile(dir.filePath("p.ini")); // whatever a row names as the socket
    QVERIFY(profileFile.open(QIODevice::ReadOnly) && profileFile.readAll() == written);
    // Nothing a fan command started outlives it.
    QFile children(dir.filePath("children")); // none for most rows
    for (const QString& child :
        QString(children.open(QIODevice::ReadOnly) ? children.readAll() : "").split('\n', Qt::SkipEmptyParts))
        QVERIFY2(QTest::qWaitFor([&] {
            QFile stat("/proc/" + child + "/stat"); // a zombie is dead, whoever is to reap it
            return !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z ");
        }),
            qPrintable("a fan command's child survives: " + child));
    if (arguments.contains("--safe-once")) { // recovery opens no socket, leaves no lock, and sets the safe speed
        for (const char* file :
            { "fan.sock", "fan.status.sock", "run/fan.sock", "run/fan.status.sock", "run/fan.sock.lock" })
            QVERIFY(!QFile::exists(dir.filePath(file)));
        // A fan whose faults are all on reads has taken the set even where the recovery failed.
        const bool setTaken = exitCode == "0" || profile.contains("faults-apply-to=read");
        QCOMPARE(fanSetpoint(dir), setTaken && !arguments.contains("--simulate") ? "6000" : "");
    }
}

QTEST_GUILESS_MAIN(tst_Daemon)
#include "tst_daemon.moc"
