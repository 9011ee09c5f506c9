// The daemon as a process: the command line, start-up refusals and one-shot recovery
// (tables/daemon.txt), and the fault soak. Real mode needs root.
#include "harness.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtTest>

namespace {

const QString kFan = QString(kShortTimings) + ";BackendProgram=" KEVO_SIM_PROGRAM;

// The test's environment without a service manager, with these changes; <dir> stands for dir.
QProcessEnvironment environment(const QTemporaryDir& dir, const QString& changes = {})
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : { "NOTIFY_SOCKET", "WATCHDOG_USEC", "QT_MESSAGE_PATTERN", "QT_LOGGING_RULES" })
        env.remove(name);
    for (const QString& change : QString(changes).replace("<dir>", dir.path()).split(';', Qt::SkipEmptyParts))
        env.insert(change.section('=', 0, 0), change.section('=', 1));
    return env;
}

QString fanSetpoint(const QTemporaryDir& dir)
{
    QFile state(dir.filePath("fan"));
    return state.open(QIODevice::ReadOnly) ? QString(state.readAll()).section(' ', 0, 0) : QString();
}

} // namespace

class tst_Daemon : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void run_data() { addRows("daemon", { "program", "arguments", "profile", "env", "exitCode", "output" }); }
    void run();
    void soak();
};

void tst_Daemon::run()
{
    QFETCH(QString, program);
    QFETCH(QString, arguments);
    QFETCH(QString, profile);
    QFETCH(QString, env);
    QFETCH(QString, exitCode);
    QFETCH(QString, output);
    QTemporaryDir dir;
    useFan(dir, profile.contains("<hang>") ? "fault=hang" : "");
    writeFile(dir, "p.ini", profileText(profile.replace("<fan>", kFan).remove("<hang>")));
    QProcess guard;
    guard.setProcessEnvironment(environment(dir, env));
    guard.setProcessChannelMode(QProcess::MergedChannels);
    guard.start(program == "ostrel" ? OSTREL_PROGRAM : OSTREL_WITHOUT_REAL_BACKEND_PROGRAM,
        arguments.replace("<dir>", dir.path()).split(' '));
    QVERIFY(guard.waitForFinished(10000));
    const QString printed = guard.readAll();
    const QString pattern = output.startsWith('~') ? output.mid(1).replace("\\n", "\n")
                                                   : QRegularExpression::escape(output.replace("\\n", "\n") + '\n');
    QVERIFY2(
        QRegularExpression(QRegularExpression::anchoredPattern(pattern), QRegularExpression::DotMatchesEverythingOption)
            .match(printed)
            .hasMatch(),
        qPrintable(printed));
    QCOMPARE(QString::number(guard.exitCode()), exitCode);
    QCOMPARE(guard.exitStatus(), QProcess::NormalExit);
    if (arguments.contains("--safe-once")) { // recovery opens no socket, leaves no lock, and sets the safe speed
        QVERIFY(!QFile::exists(dir.filePath("fan.sock")) && !QFile::exists(dir.filePath("run/fan.sock")));
        QVERIFY(!QFile::exists(dir.filePath("run/fan.sock.lock")));
        QCOMPARE(fanSetpoint(dir), exitCode == "0" && !arguments.contains("--simulate") ? "6000" : "");
    }
}

// The fault soak: real guards driving kevo-sim while a client leases, steers, releases and
// vanishes at random and faults come from both sides. After each fault the guard reports it
// and holds the safe speed; every status keeps the contract; a guard grows no descriptors
// and keeps feeding the watchdog.
void tst_Daemon::soak()
{
    const int seconds = qEnvironmentVariableIntValue("OSTREL_SOAK_SECONDS");
    if (seconds <= 0)
        QSKIP("OSTREL_SOAK_SECONDS sets how long to soak (make soak)");
    const QList<QPair<QByteArray, QString>> faults { { "fault=fail\nfaults-apply-to=read",
                                                         "Fan command exited unsuccessfully" },
        { "fault=hang\nfaults-apply-to=read", "Fan command timed out; output unconfirmed" },
        { "fault=garbage", "Fan RPM response is invalid" }, { "fault=oversize-hang", "Fan output exceeds limit" },
        { "[]", "Malformed IPC frame" }, { R"({"version":1,"type":"control"})", "Invalid or expired control lease" },
        { "", "Control or telemetry deadline expired" } };
    const auto openFiles = [](qint64 pid) { // the fewest over longer than a fan command may run
        int fewest = 1000;
        for (int look = 0; look < 5; ++look, QTest::qWait(100))
            fewest = qMin(
                fewest, QDir(QString("/proc/%1/fd").arg(pid)).entryList(QDir::System | QDir::NoDotAndDotDot).size());
        return fewest;
    };
    QTemporaryDir dir;
    NotifyPeer peer(dir.filePath("notify"));
    const QStringList arguments { "--profile", writeFile(dir, "p.ini", profileText(kFan)), "--socket",
        dir.filePath("fan.sock") };
    const quint32 seed = QRandomGenerator::global()->generate();
    QRandomGenerator random(seed);
    QElapsedTimer clock;
    int lives = 0, injected = 0;
    for (clock.start(); clock.elapsed() < seconds * 1000; ++lives) {
        useFan(dir);
        const qint64 born = clock.elapsed(), fed = peer.count("WATCHDOG=1");
        QProcess guard;
        guard.setProcessEnvironment(environment(dir, "NOTIFY_SOCKET=<dir>/notify;WATCHDOG_USEC=1000000"));
        guard.setStandardErrorFile(QProcess::nullDevice());
        guard.start(OSTREL_PROGRAM, arguments);
        int files = 0;
        for (int cycle = 0, ending = 1; cycle < 8 && ending != 0; ++cycle) {
            Client client;
            QVERIFY(client.connectTo(dir.filePath("fan.sock")));
            QVERIFY(client.waitFor([](const QJsonObject& s) { return s.value("ready").toBool(); }, 8000));
            client.message({ { "version", 1 }, { "type", "hello" }, { "serial", "SN-0001" } });
            QVERIFY(client.waitFor([](const QJsonObject& s) { return !s.value("lease").toString().isEmpty(); }));
            for (int n = 1; n <= 4; ++n) {
                client.message(controlMessage(n, lives * 1000 + cycle * 10 + n, 1200 + 100 * random.bounded(49)));
                QVERIFY(client.waitFor(
                    [&](const QJsonObject& s) { return s.value("commandSequence") == QString::number(n); }));
                QTest::qWait(random.bounded(400));
                peer.count({}); // read, as a service manager does: a full queue would block the guard
            }
            files = cycle == 0 ? openFiles(guard.processId()) : files;
            ending = random.bounded(cycle == 7 ? 3 : 10);
            const auto& fault = faults.at(random.bounded(faults.size()));
            if (ending == 0 && (fault.first.startsWith('{') || fault.first.startsWith('[')))
                client.send(fault.first + '\n');
            else if (ending == 0)
                useFan(dir, fault.first);
            else if (ending < 4)
                client.message(
                    { { "version", 1 }, { "type", "release" }, { "lease", "<lease>" }, { "session", "<session>" } });
            QVERIFY2(client.waitFor(
                         [&](const QJsonObject& s) {
                             return ending == 0 ? s.value("reason") == fault.second
                                                : ending >= 4 || s.value("lease") == "";
                         },
                         6000),
                qPrintable(fault.second + QString(", seed %1").arg(seed)));
            if (ending == 0 && ++injected)
                QTRY_COMPARE(fanSetpoint(dir), "6000");
            for (const QJsonObject& status : client.statuses)
                QVERIFY2(statusProblem(status).isEmpty(), qPrintable(statusProblem(status)));
        }
        Client last; // connected, as when the descriptors were first counted
        QVERIFY(last.connectTo(dir.filePath("fan.sock")));
        QVERIFY2(openFiles(guard.processId()) <= files, "the guard's file descriptors grew");
        QVERIFY2(peer.count("WATCHDOG=1") - fed >= (clock.elapsed() - born) / 500, "the watchdog starved");
    }
    qInfo("soak: %d guard lives, %d faults injected, seed %u", lives, injected, seed);
}

QTEST_GUILESS_MAIN(tst_Daemon)
#include "tst_daemon.moc"
