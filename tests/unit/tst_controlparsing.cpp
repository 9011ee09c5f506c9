// Decoding a control request's counters, sample and speed.
#include "protocol/controlparsing.h"

#include <QJsonDocument>
#include <QtTest>

class tst_ControlParsing : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void counter_data();
    void counter();
    void sample_data();
    void sample();
    void rpmBounds_data();
    void rpmBounds();
};

void tst_ControlParsing::counter_data()
{
    QTest::addColumn<QByteArray>("json"); // the value, as JSON text
    QTest::addColumn<bool>("ok");
    QTest::addColumn<quint64>("value");

    QTest::newRow("digits") << QByteArray("\"5\"") << true << quint64(5);
    QTest::newRow("leading zeros") << QByteArray("\"005\"") << true << quint64(5);
    QTest::newRow("zero") << QByteArray("\"0\"") << true << quint64(0);
    QTest::newRow("largest 64-bit value")
        << QByteArray("\"18446744073709551615\"") << true << quint64(18446744073709551615ULL);
    QTest::newRow("one beyond 64 bits") << QByteArray("\"18446744073709551616\"") << false << quint64(0);
    QTest::newRow("JSON number") << QByteArray("5") << false << quint64(0);
    QTest::newRow("plus sign") << QByteArray("\"+5\"") << false << quint64(0);
    QTest::newRow("minus sign") << QByteArray("\"-5\"") << false << quint64(0);
    QTest::newRow("leading blank") << QByteArray("\" 5\"") << false << quint64(0);
    QTest::newRow("decimal point") << QByteArray("\"5.0\"") << false << quint64(0);
    QTest::newRow("empty string") << QByteArray("\"\"") << false << quint64(0);
    QTest::newRow("non-ASCII digit") << QByteArray("\"\xd9\xa5\"") << false << quint64(0);
    QTest::newRow("null") << QByteArray("null") << false << quint64(0);
}

void tst_ControlParsing::counter()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, ok);
    QFETCH(quint64, value);

    const QJsonValue parsed = QJsonDocument::fromJson("[" + json + "]").array().at(0);
    quint64 out = 0;
    QCOMPARE(parseDecimalCounter(parsed, &out), ok);
    QCOMPARE(out, value);
}

void tst_ControlParsing::sample_data()
{
    QTest::addColumn<QJsonObject>("changes"); // to a valid sample; null removes a key
    QTest::addColumn<bool>("ok");

    const QString longText(256, QLatin1Char('s'));
    QTest::newRow("valid sample") << QJsonObject() << true;
    QTest::newRow("valid flag false still decodes") << QJsonObject { { "valid", false } } << true;
    QTest::newRow("age of one hour") << QJsonObject { { "ageMs", 3600000 } } << true;
    QTest::newRow("age beyond one hour") << QJsonObject { { "ageMs", 3600001 } } << false;
    QTest::newRow("fractional age") << QJsonObject { { "ageMs", 3599999.5 } } << false;
    QTest::newRow("negative age") << QJsonObject { { "ageMs", -1 } } << false;
    QTest::newRow("age as a string") << QJsonObject { { "ageMs", "0" } } << false;
    QTest::newRow("serial of 256 characters") << QJsonObject { { "serial", longText } } << true;
    QTest::newRow("serial of 257 characters") << QJsonObject { { "serial", QString(longText + 's') } } << false;
    QTest::newRow("empty serial") << QJsonObject { { "serial", "" } } << false;
    QTest::newRow("session of 257 characters") << QJsonObject { { "session", QString(longText + 's') } } << false;
    QTest::newRow("empty session") << QJsonObject { { "session", "" } } << false;
    QTest::newRow("sequence zero") << QJsonObject { { "sequence", "0" } } << false;
    QTest::newRow("sequence as a number") << QJsonObject { { "sequence", 7 } } << false;
    QTest::newRow("temperature as a string") << QJsonObject { { "temperatureC", "30" } } << false;
    QTest::newRow("valid as a number") << QJsonObject { { "valid", 1 } } << false;
    QTest::newRow("missing temperature") << QJsonObject { { "temperatureC", QJsonValue::Null } } << false;
}

void tst_ControlParsing::sample()
{
    QFETCH(QJsonObject, changes);
    QFETCH(bool, ok);

    QJsonObject object { { "valid", true }, { "serial", "SN-0001" }, { "session", "sensor-1" },
        { "temperatureC", 30.5 }, { "ageMs", 250 }, { "sequence", "7" } };
    for (auto change = changes.begin(); change != changes.end(); ++change) {
        if (change.value().isNull())
            object.remove(change.key());
        else
            object.insert(change.key(), change.value());
    }
    TemperatureSample sample;
    QCOMPARE(parseTemperatureSample(object, &sample), ok);
    if (ok && changes.isEmpty()) {
        QVERIFY(sample.valid);
        QCOMPARE(sample.serial, QStringLiteral("SN-0001"));
        QCOMPARE(sample.session, QStringLiteral("sensor-1"));
        QCOMPARE(sample.temperatureC, 30.5);
        QCOMPARE(sample.ageMs, qint64(250));
        QCOMPARE(sample.sequence, quint64(7));
    }
}

void tst_ControlParsing::rpmBounds_data()
{
    QTest::addColumn<double>("rpm");
    QTest::addColumn<bool>("ok");

    QTest::newRow("stop") << 0.0 << true;
    QTest::newRow("maximum") << 6000.0 << true;
    QTest::newRow("above maximum") << 6001.0 << false;
    QTest::newRow("fractional") << 1000.5 << false;
    QTest::newRow("negative") << -100.0 << false;
    QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN() << false;
}

void tst_ControlParsing::rpmBounds()
{
    QFETCH(double, rpm);
    QFETCH(bool, ok);
    QCOMPARE(rpmWithinBounds(rpm, 6000), ok);
}

QTEST_GUILESS_MAIN(tst_ControlParsing)
#include "tst_controlparsing.moc"
