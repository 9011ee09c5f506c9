// The hand-written status frame against the framework's own JSON writer.
#include "guard/statusframe.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

class tst_StatusFrame : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void sameAsTheFrameworkWrites_data();
    void sameAsTheFrameworkWrites();
};

void tst_StatusFrame::sameAsTheFrameworkWrites_data()
{
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<quint64>("sequence");
    QTest::addColumn<qint64>("ageMs");

    QTest::newRow("plain") << "SN-0001"
                           << "" << quint64(0) << qint64(-1);
    QTest::newRow("quotes and backslashes") << R"(S"N\1/)"
                                            << "Malformed IPC frame" << quint64(7) << qint64(0);
    QTest::newRow("control characters") << QString::fromUtf8("a\tb\nc\rd\be\ff\x01g\x1fh\x7f") << "" << quint64(1)
                                        << qint64(12);
    QTest::newRow("non-ASCII") << QString::fromUtf8("Lüfter-Ωμ-€-\xf0\x9f\x8c\x80") << "" << quint64(2) << qint64(3);
    QTest::newRow("unpaired surrogates") << QString(QChar(0xd800)) + "SN" + QChar(0xdc01) << "" << quint64(3)
                                         << qint64(5);
    QTest::newRow("largest counter and age")
        << "SN"
        << "Fan command failed to start: execve: No such file" << quint64(18446744073709551615ULL) << qint64(86400000);
}

void tst_StatusFrame::sameAsTheFrameworkWrites()
{
    QFETCH(QString, serial);
    QFETCH(QString, reason);
    QFETCH(quint64, sequence);
    QFETCH(qint64, ageMs);

    StatusFields s;
    s.session = QStringLiteral("0b6f3c2e-8a4d-4f5e-9c1a-2d3e4f5a6b7c");
    s.lease = sequence % 2 ? QStringLiteral("1c2d3e4f-5a6b-4c7d-8e9f-a0b1c2d3e4f5") : QString();
    s.serial = serial;
    s.reason = reason;
    s.commandSequence = sequence;
    s.requestedRpm = ageMs < 0 ? -1 : 6000;
    s.rpm = 5990;
    s.ageMs = ageMs;
    s.ready = ageMs >= 0;
    s.rpmValid = !reason.isEmpty();
    s.fault = !reason.isEmpty();
    s.simulation = sequence % 2 == 0;

    const QJsonObject object {
        { "version", 1 },
        { "type", "status" },
        { "session", s.session },
        { "lease", s.lease },
        { "serial", s.serial },
        { "commandSequence", QString::number(s.commandSequence) },
        { "requestedRpm", s.requestedRpm },
        { "ready", s.ready },
        { "rpmValid", s.rpmValid },
        { "rpm", s.rpm },
        { "ageMs", s.ageMs },
        { "fault", s.fault },
        { "reason", s.reason },
        { "simulation", s.simulation },
    };
    QCOMPARE(statusFrame(s), QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
}

QTEST_GUILESS_MAIN(tst_StatusFrame)
#include "tst_statusframe.moc"
