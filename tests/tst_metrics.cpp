// ostrelctl metrics: the scrape as promtool reads it, and the command against stand-in guards.
#include "profile/deviceprofile.h"
#include "tools/ostrelctl/metricsformat.h"

#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

namespace {

const QByteArray kReady = R"({"ageMs":120,"commandSequence":"4","fault":false,"lease":"",)"
                          R"("ready":true,"reason":"","requestedRpm":3000,"rpm":2990,"rpmValid":true,)"
                          R"("serial":"SN-0001","session":"5e55","simulation":true,"type":"status","version":1})";

QStringList samples(const QString& scrape)
{
    QStringList lines = scrape.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    lines.erase(
        std::remove_if(lines.begin(), lines.end(), [](const QString& l) { return l.startsWith('#'); }), lines.end());
    return lines;
}

// A guard's socket that sends each client one line as it connects, and nothing more.
std::unique_ptr<QLocalServer> standIn(const QString& path, const QByteArray& line)
{
    auto server = std::make_unique<QLocalServer>();
    QLocalServer* s = server.get();
    QObject::connect(s, &QLocalServer::newConnection, s, [s, line] {
        QLocalSocket* client = s->nextPendingConnection();
        client->write(line + '\n');
        client->flush();
    });
    return s->listen(path) ? std::move(server) : nullptr;
}

} // namespace

class tst_Metrics : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void format_data()
    {
        QTest::addColumn<QJsonObject>("status"); // empty: no guard answered
        QTest::addColumn<qint64>("sessionStart");
        QTest::addColumn<bool>("withProfile");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("no guard: ostrel_up 0 alone")
            << QJsonObject() << qint64(1700000000) << true << QStringList { "ostrel_up 0" };
        QTest::newRow("ready, with the profile's limits")
            << QJsonDocument::fromJson(kReady).object() << qint64(1700000000) << true
            << QStringList { "ostrel_up 1", "ostrel_ready 1", R"(ostrel_fault_latched{reason=""} 0)",
                   "ostrel_requested_rpm 3000", "ostrel_fan_rpm 2990", "ostrel_fan_rpm_valid 1",
                   "ostrel_feedback_age_seconds 0.12", "ostrel_lease_held 0", "ostrel_simulation 1",
                   R"(ostrel_session_start_time_seconds{session="5e55"} 1700000000)",
                   "ostrel_profile_rpm_tolerance 150", "ostrel_profile_settling_seconds 8.5" };
        // What the text format escapes, escaped; whatever else the guard sends passes as it is.
        QTest::newRow("fault: reason and session escaped, no reading")
            << QJsonObject { { "ageMs", -1 }, { "fault", true }, { "lease", "9a1c" }, { "ready", false },
                   { "reason", "a\\b\"c\nd\t\u00e9" }, { "requestedRpm", 6000 }, { "rpm", 0 }, { "rpmValid", false },
                   { "session", "s\"\\" }, { "simulation", false }, { "type", "status" } }
            << qint64(5) << false
            << QStringList { "ostrel_up 1", "ostrel_ready 0",
                   "ostrel_fault_latched{reason=\"a\\\\b\\\"c\\nd\t\u00e9\"} 1", "ostrel_requested_rpm 6000",
                   "ostrel_fan_rpm 0", "ostrel_fan_rpm_valid 0", "ostrel_feedback_age_seconds NaN",
                   "ostrel_lease_held 1", "ostrel_simulation 0",
                   "ostrel_session_start_time_seconds{session=\"s\\\"\\\\\"} 5" };
        // A guard of another version: what it leaves out is unknown, not zero.
        QTest::newRow("members missing, session start unknown")
            << QJsonObject { { "type", "status" } } << qint64(-1) << false
            << QStringList { "ostrel_up 1", "ostrel_ready 0", R"(ostrel_fault_latched{reason=""} 0)",
                   "ostrel_requested_rpm NaN", "ostrel_fan_rpm NaN", "ostrel_fan_rpm_valid 0",
                   "ostrel_feedback_age_seconds NaN", "ostrel_lease_held 0", "ostrel_simulation 0" };
    }

    void format()
    {
        QFETCH(QJsonObject, status);
        QFETCH(qint64, sessionStart);
        QFETCH(bool, withProfile);
        QFETCH(QStringList, expected);
        DeviceProfile profile;
        profile.RpmTolerance = 150;
        profile.SettlingMs = 8500;
        const QString scrape
            = prometheusMetrics(status.isEmpty() ? nullptr : &status, sessionStart, withProfile ? &profile : nullptr);
        QCOMPARE(samples(scrape), expected);

        QProcess promtool;
        promtool.start(QStringLiteral("promtool"), { QStringLiteral("check"), QStringLiteral("metrics") });
        QVERIFY2(promtool.waitForStarted(), "promtool not found: it comes with Debian's prometheus package");
        promtool.write(scrape.toUtf8());
        promtool.closeWriteChannel();
        QVERIFY(promtool.waitForFinished(30000));
        QVERIFY2(promtool.exitCode() == 0, promtool.readAll().constData());
    }

    void command_data()
    {
        QTest::addColumn<QByteArray>("onStatusSocket"); // empty: no such socket
        QTest::addColumn<QByteArray>("onControlSocket");
        QTest::addColumn<QStringList>("arguments"); // after "metrics --socket DIR/fan.sock"
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("onStdout"); // empty: nothing
        QTest::addColumn<QString>("inOutputFile"); // empty: no file

        const QByteArray other = QByteArray(kReady).replace("5e55", "c0c0");
        const QString fromStatusSocket = R"(ostrel_session_start_time_seconds{session="5e55"})";
        QTest::newRow("the status socket before the control socket")
            << kReady << other << QStringList() << 0 << fromStatusSocket << QString();
        QTest::newRow("the control socket without a status socket")
            << QByteArray() << other << QStringList() << 0 << R"(ostrel_session_start_time_seconds{session="c0c0"})"
            << QString();
        QTest::newRow("no guard") << QByteArray() << QByteArray() << QStringList() << 0 << "ostrel_up 0" << QString();
        QTest::newRow("the profile's limits")
            << kReady << QByteArray() << QStringList { "--profile", OSTREL_EXAMPLE_PROFILE } << 0
            << "ostrel_profile_rpm_tolerance 150" << QString();
        QTest::newRow("--output: the file, not stdout")
            << kReady << QByteArray() << QStringList { "--output", "DIR/ostrel.prom" } << 0 << QString()
            << fromStatusSocket;
        QTest::newRow("--output unwritable")
            << kReady << QByteArray() << QStringList { "--output", "DIR/missing/ostrel.prom" } << 2 << QString()
            << QString();
    }

    void command()
    {
        QFETCH(QByteArray, onStatusSocket);
        QFETCH(QByteArray, onControlSocket);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, onStdout);
        QFETCH(QString, inOutputFile);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        std::unique_ptr<QLocalServer> statusSocket, controlSocket;
        if (!onStatusSocket.isEmpty())
            QVERIFY(statusSocket = standIn(dir.filePath("fan.status.sock"), onStatusSocket));
        if (!onControlSocket.isEmpty())
            QVERIFY(controlSocket = standIn(dir.filePath("fan.sock"), onControlSocket));

        QProcess ostrelctl;
        ostrelctl.start(OSTRELCTL_PROGRAM,
            QStringList { "metrics", "--socket", dir.filePath("fan.sock") }
                + arguments.replaceInStrings(QStringLiteral("DIR/"), dir.path() + '/'));
        // The stand-ins answer from this event loop.
        QTRY_VERIFY_WITH_TIMEOUT(ostrelctl.state() == QProcess::NotRunning, 20000);
        QCOMPARE(ostrelctl.exitCode(), exitCode);
        const QString out = QString::fromUtf8(ostrelctl.readAllStandardOutput());
        QVERIFY2(onStdout.isEmpty() ? out.isEmpty() : out.contains(onStdout), qPrintable(out));
        QFile file(dir.filePath("ostrel.prom"));
        QCOMPARE(file.exists(), !inOutputFile.isEmpty());
        QVERIFY(!file.exists() || (file.open(QIODevice::ReadOnly) && file.readAll().contains(inOutputFile.toUtf8())));
    }
};

QTEST_GUILESS_MAIN(tst_Metrics)
#include "tst_metrics.moc"
