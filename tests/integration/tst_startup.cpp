// Start-up of the whole ostrel binary in simulation: checks, writer lock, socket and one-shot recovery.
#include "processrun.h"
#include "profilefixtures.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList simulatedGuard(const QString& profile, const QString& socket)
{
    return { QStringLiteral("--simulate"), QStringLiteral("--profile"), profile, QStringLiteral("--socket"), socket };
}

const QStringList kSafeConfirmedLines = {
    QStringLiteral("[RFU_GUARD] RPM requested; unconfirmed= 6000"),
    QStringLiteral("[RFU_GUARD] RPM confirmed; requested= 6000 actual= 6000"),
};

} // namespace

class tst_Startup : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void refusedStart_data();
    void refusedStart();
    void simulatedRecovery_data();
    void simulatedRecovery();
    void writerLock();
    void staleSocketIsReplaced();
};

void tst_Startup::refusedStart_data()
{
    QTest::addColumn<QByteArray>("profile");
    QTest::addColumn<QString>("socket"); // "<dir>" stands for a fresh temporary directory
    QTest::addColumn<QString>("line");

    // 4000 × 5 + SettlingMs must stay within 25000 ms.
    const ProfileIni slowFan = ProfileIni()
                                   .set("LeaseMs", "5000")
                                   .set("SpinUpMs", "1000")
                                   .set("CommandTimeoutMs", "4000")
                                   .set("LeadSeconds", "10");
    QTest::newRow("recovery one millisecond over the stop-time budget")
        << slowFan.text().replace("SettlingMs=8000", "SettlingMs=5001") << "<dir>/fan.sock"
        << "Recovery deadlines exceed the service stop-time budget";
    QTest::newRow("runtime directory under a regular file") << ProfileIni().text() << "<dir>/profile.ini/fan.sock"
                                                            << "Cannot create guard runtime directory";
    QTest::newRow("socket name the server cannot listen on")
        << ProfileIni().text() << "<dir>/" + QString(120, QLatin1Char('s')) << "QLocalServer::listen: Name error";
}

void tst_Startup::refusedStart()
{
    QFETCH(QByteArray, profile);
    QFETCH(QString, socket);
    QFETCH(QString, line);

    QTemporaryDir dir;
    const QString profilePath = writeFile(dir, QStringLiteral("profile.ini"), profile);
    socket.replace(QLatin1String("<dir>"), dir.path());

    const ProcessResult run = runProcess(ostrelProgram(), simulatedGuard(profilePath, socket));
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 2);
    // A check that fails after the first safe command also shows that command's line.
    QCOMPARE(run.errorLines().last(), line);
    QVERIFY(run.errorLines().size() <= 2);
    QCOMPARE(run.standardOutput, QByteArray());
}

void tst_Startup::simulatedRecovery_data()
{
    QTest::addColumn<QByteArray>("profile");

    QTest::newRow("example profile") << ProfileIni().text();
    QTest::newRow("recovery exactly at the stop-time budget") << ProfileIni()
                                                                     .set("LeaseMs", "5000")
                                                                     .set("SpinUpMs", "1000")
                                                                     .set("CommandTimeoutMs", "4000")
                                                                     .set("SettlingMs", "5000")
                                                                     .text();
}

void tst_Startup::simulatedRecovery()
{
    QFETCH(QByteArray, profile);

    QTemporaryDir dir;
    const QString profilePath = writeFile(dir, QStringLiteral("profile.ini"), profile);
    const QString socket = dir.filePath(QStringLiteral("run/fan.sock"));
    QElapsedTimer clock;
    clock.start();
    const ProcessResult run
        = runProcess(ostrelProgram(), simulatedGuard(profilePath, socket) << QStringLiteral("--safe-once"));
    const qint64 elapsedMs = clock.elapsed();

    QVERIFY(run.finished);
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.errorLines(), kSafeConfirmedLines);
    QCOMPARE(run.standardOutput, QByteArray());
    // Ends with the first confirmation, long before any deadline.
    QVERIFY2(elapsedMs < 3000, qPrintable(QString::number(elapsedMs)));
    // The runtime directory is made, but no socket is opened and the lock is gone again.
    QCOMPARE(
        QDir(dir.filePath(QStringLiteral("run"))).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
        QStringList());
}

void tst_Startup::writerLock()
{
    QTemporaryDir dir;
    const QString profile = ProfileIni().writeTo(dir);
    const QString socket = dir.filePath(QStringLiteral("fan.sock"));
    const QString otherSocket = dir.filePath(QStringLiteral("other.sock"));

    BackgroundProcess first(ostrelProgram(), simulatedGuard(profile, socket));
    QVERIFY(first.waitForListening(socket));
    QVERIFY(QFileInfo::exists(socket + QStringLiteral(".lock")));

    for (const QStringList& extra : { QStringList(), QStringList { QStringLiteral("--safe-once") } }) {
        const ProcessResult second = runProcess(ostrelProgram(), simulatedGuard(profile, socket) + extra);
        QCOMPARE(second.exitCode, 2);
        QCOMPARE(second.errorLines(), QStringList { QStringLiteral("Another fan writer owns the guard lock") });
    }
    // The refused guards left the running guard's socket alone.
    QVERIFY(first.isRunning());
    QLocalSocket client;
    client.connectToServer(socket);
    QVERIFY(client.waitForConnected(2000));

    BackgroundProcess beside(ostrelProgram(), simulatedGuard(profile, otherSocket));
    QVERIFY(beside.waitForListening(otherSocket));
    QVERIFY(first.isRunning());
}

void tst_Startup::staleSocketIsReplaced()
{
    QTemporaryDir dir;
    const QString socket = dir.filePath(QStringLiteral("fan.sock"));
    writeFile(dir, QStringLiteral("fan.sock"), "left behind by a crashed guard");

    BackgroundProcess guard(ostrelProgram(), simulatedGuard(ProfileIni().writeTo(dir), socket));
    QVERIFY(guard.waitForListening(socket));
    // Owner-only access.
    QCOMPARE(QFileInfo(socket).permissions()
            & (QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther),
        QFileDevice::Permissions());
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
