// Parsing the fan program's speed reply.
#include "backend/rpmreply.h"

#include <QtTest>

class tst_RpmReply : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void parse_data();
    void parse();
};

void tst_RpmReply::parse_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<int>("rpm"); // -1: the reply is invalid

    const QString digits = QStringLiteral("([0-9]+)");
    // MaximumRpm 6000 and RpmTolerance 150 throughout.
    QTest::newRow("plain speed") << QByteArray("1795") << digits << 1795;
    QTest::newRow("blank lines and spaces around") << QByteArray("\n  1795 \r\n\n") << digits << 1795;
    QTest::newRow("stopped fan") << QByteArray("0\n") << digits << 0;
    QTest::newRow("maximum plus tolerance") << QByteArray("6150\n") << digits << 6150;
    QTest::newRow("one above maximum plus tolerance") << QByteArray("6151\n") << digits << -1;
    QTest::newRow("negative speed") << QByteArray("-5\n") << QStringLiteral("(-?[0-9]+)") << -1;
    QTest::newRow("beyond 32 bits") << QByteArray("4294967296\n") << digits << -1;
    QTest::newRow("extra text after the speed") << QByteArray("1795 rpm\n") << digits << -1;
    QTest::newRow("extra text before the speed") << QByteArray("fan 1795\n") << digits << -1;
    QTest::newRow("two lines of speeds") << QByteArray("1795\n1800\n") << digits << -1;
    QTest::newRow("empty reply") << QByteArray() << digits << -1;
    QTest::newRow("pattern describing surrounding text")
        << QByteArray("fan0: 1795 rpm\n") << QStringLiteral("fan0: ([0-9]+) rpm") << 1795;
    QTest::newRow("alternation stays anchored") << QByteArray("x1795") << QStringLiteral("([0-9]+)|fan") << -1;
    QTest::newRow("capture that holds no number") << QByteArray("fast\n") << QStringLiteral("([a-z]+)") << -1;
    QTest::newRow("optional capture left empty") << QByteArray("rpm=\n") << QStringLiteral("rpm=([0-9]+)?") << -1;
    QTest::newRow("named capture") << QByteArray("rpm=42") << QStringLiteral("rpm=(?<speed>[0-9]+)") << 42;
    QTest::newRow("non-UTF-8 bytes") << QByteArray("\xff\xfe") << digits << -1;
}

void tst_RpmReply::parse()
{
    QFETCH(QByteArray, output);
    QFETCH(QString, pattern);
    QFETCH(int, rpm);

    int parsed = -99;
    QCOMPARE(parseRpmReply(output, pattern, 6000, 150, &parsed), rpm >= 0);
    QCOMPARE(parsed, rpm >= 0 ? rpm : -99);
}

QTEST_GUILESS_MAIN(tst_RpmReply)
#include "tst_rpmreply.moc"
