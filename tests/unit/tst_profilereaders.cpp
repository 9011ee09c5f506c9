// The strict field readers, one INI line at a time.
#include "profile/deviceprofile.h"

#include "profilefixtures.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

class tst_ProfileReaders : public QObject {
    Q_OBJECT

private:
    // Opens a one-line profile and positions the settings in the profile group.
    struct OneLine {
        QTemporaryDir dir;
        QSettings settings;
        explicit OneLine(const QByteArray& line)
            : settings(
                writeFile(dir, QStringLiteral("p.ini"), "[RfuDeviceProfile]\n" + line + '\n'), QSettings::IniFormat)
        {
            settings.setIniCodec("UTF-8");
            settings.beginGroup(QStringLiteral("RfuDeviceProfile"));
        }
    };

private Q_SLOTS:
    void textField_data();
    void textField();
    void boolField_data();
    void boolField();
    void intField_data();
    void intField();
    void doubleField_data();
    void doubleField();
};

void tst_ProfileReaders::textField_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("required");
    QTest::addColumn<QString>("value"); // expected output; "untouched" when not written
    QTest::addColumn<QString>("error");

    QTest::newRow("plain value") << QByteArray("DeviceSerial=SN-0001") << true << "SN-0001"
                                 << "";
    QTest::newRow("surrounding blanks are trimmed") << QByteArray("DeviceSerial=  SN-0001  ") << true << "SN-0001"
                                                    << "";
    QTest::newRow("quoted comma stays text") << QByteArray("DeviceSerial=\"a,b\"") << true << "a,b"
                                             << "";
    QTest::newRow("unquoted comma is a list") << QByteArray("DeviceSerial=a,b") << true << "untouched"
                                              << "Expected a scalar text value: DeviceSerial";
    QTest::newRow("trailing comma is a list") << QByteArray("DeviceSerial=a,") << true << "untouched"
                                              << "Expected a scalar text value: DeviceSerial";
    QTest::newRow("typed value is not text") << QByteArray("DeviceSerial=@ByteArray(SN)") << true << "untouched"
                                             << "Expected a scalar text value: DeviceSerial";
    QTest::newRow("empty value") << QByteArray("DeviceSerial=") << true << ""
                                 << "Empty configuration field: DeviceSerial";
    QTest::newRow("quoted blanks are empty") << QByteArray("DeviceSerial=\"   \"") << true << ""
                                             << "Empty configuration field: DeviceSerial";
    QTest::newRow("empty optional value still fails") << QByteArray("DeviceSerial=") << false << ""
                                                      << "Empty configuration field: DeviceSerial";
    QTest::newRow("absent required key") << QByteArray("Other=1") << true << "untouched"
                                         << "Missing configuration field: DeviceSerial";
    QTest::newRow("absent optional key") << QByteArray("Other=1") << false << "untouched"
                                         << "";
    QTest::newRow("key names are case-sensitive") << QByteArray("deviceserial=SN") << true << "untouched"
                                                  << "Missing configuration field: DeviceSerial";
}

void tst_ProfileReaders::textField()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, required);
    QFETCH(QString, value);
    QFETCH(QString, error);

    OneLine ini(line);
    QString out = QStringLiteral("untouched");
    QString reason;
    QCOMPARE(readTextField(ini.settings, QStringLiteral("DeviceSerial"), &out, &reason, required), error.isEmpty());
    QCOMPARE(reason, error);
    QCOMPARE(out, value);
    // A null error pointer is allowed.
    QCOMPARE(readTextField(ini.settings, QStringLiteral("DeviceSerial"), &out, nullptr, required), error.isEmpty());
}

void tst_ProfileReaders::boolField_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("expected"); // the output; false rows start from true to show it is untouched
    QTest::addColumn<QString>("error");

    const QString notBool = QStringLiteral("Expected true or false: Validated");
    QTest::newRow("true") << QByteArray("true") << true << "";
    QTest::newRow("false") << QByteArray("false") << false << "";
    QTest::newRow("blanks around the word") << QByteArray(" true ") << true << "";
    QTest::newRow("upper case") << QByteArray("TRUE") << true << notBool;
    QTest::newRow("capitalised") << QByteArray("True") << true << notBool;
    QTest::newRow("one") << QByteArray("1") << true << notBool;
    QTest::newRow("yes") << QByteArray("yes") << true << notBool;
    QTest::newRow("empty") << QByteArray("") << true << "Empty configuration field: Validated";
    QTest::newRow("list") << QByteArray("true,true") << true << "Expected a scalar text value: Validated";
}

void tst_ProfileReaders::boolField()
{
    QFETCH(QByteArray, value);
    QFETCH(bool, expected);
    QFETCH(QString, error);

    OneLine ini("Validated=" + value);
    bool out = true;
    QString reason;
    QCOMPARE(readBoolField(ini.settings, QStringLiteral("Validated"), &out, &reason), error.isEmpty());
    QCOMPARE(reason, error);
    QCOMPARE(out, expected);
}

void tst_ProfileReaders::intField_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("required");
    QTest::addColumn<int>("expected"); // -99 is the untouched starting value
    QTest::addColumn<QString>("error");

    const QString notInt = QStringLiteral("Expected a bounded integer: MinimumRpm");
    QTest::newRow("plain") << QByteArray("MinimumRpm=1200") << true << 1200 << "";
    QTest::newRow("plus sign") << QByteArray("MinimumRpm=+1200") << true << 1200 << "";
    QTest::newRow("negative") << QByteArray("MinimumRpm=-7") << true << -7 << "";
    QTest::newRow("leading zeros") << QByteArray("MinimumRpm=0012") << true << 12 << "";
    QTest::newRow("int32 maximum") << QByteArray("MinimumRpm=2147483647") << true << 2147483647 << "";
    QTest::newRow("int32 minimum") << QByteArray("MinimumRpm=-2147483648") << true << int(-2147483647 - 1) << "";
    QTest::newRow("one above int32") << QByteArray("MinimumRpm=2147483648") << true << -99 << notInt;
    QTest::newRow("one below int32") << QByteArray("MinimumRpm=-2147483649") << true << -99 << notInt;
    QTest::newRow("beyond 64 bits") << QByteArray("MinimumRpm=9223372036854775808") << true << -99 << notInt;
    QTest::newRow("decimal point") << QByteArray("MinimumRpm=1200.0") << true << -99 << notInt;
    QTest::newRow("exponent") << QByteArray("MinimumRpm=1e3") << true << -99 << notInt;
    QTest::newRow("hexadecimal") << QByteArray("MinimumRpm=0x10") << true << -99 << notInt;
    QTest::newRow("inner blank") << QByteArray("MinimumRpm=12 00") << true << -99 << notInt;
    QTest::newRow("sign alone") << QByteArray("MinimumRpm=-") << true << -99 << notInt;
    QTest::newRow("double sign") << QByteArray("MinimumRpm=+-1") << true << -99 << notInt;
    QTest::newRow("empty") << QByteArray("MinimumRpm=") << true << -99 << "Empty configuration field: MinimumRpm";
    QTest::newRow("absent required") << QByteArray("Other=1") << true << -99
                                     << "Missing configuration field: MinimumRpm";
    QTest::newRow("absent optional keeps default") << QByteArray("Other=1") << false << -99 << "";
    QTest::newRow("present optional is read") << QByteArray("MinimumRpm=5") << false << 5 << "";
    QTest::newRow("empty optional fails")
        << QByteArray("MinimumRpm=") << false << -99 << "Empty configuration field: MinimumRpm";
}

void tst_ProfileReaders::intField()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, required);
    QFETCH(int, expected);
    QFETCH(QString, error);

    OneLine ini(line);
    int out = -99;
    QString reason;
    QCOMPARE(readIntField(ini.settings, QStringLiteral("MinimumRpm"), &out, &reason, required), error.isEmpty());
    QCOMPARE(reason, error);
    QCOMPARE(out, expected);
}

void tst_ProfileReaders::doubleField_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<double>("expected"); // -99 is the untouched starting value
    QTest::addColumn<QString>("error");

    const QString notDecimal = QStringLiteral("Expected a finite decimal number: LeadC");
    QTest::newRow("decimal") << QByteArray("2.5") << 2.5 << "";
    QTest::newRow("integer") << QByteArray("2") << 2.0 << "";
    QTest::newRow("negative exponent") << QByteArray("-1e-3") << -0.001 << "";
    QTest::newRow("upper-case exponent with sign") << QByteArray("+1E+2") << 100.0 << "";
    QTest::newRow("leading point") << QByteArray(".5") << 0.5 << "";
    QTest::newRow("trailing point") << QByteArray("5.") << 5.0 << "";
    QTest::newRow("overflows to infinity") << QByteArray("1e309") << -99.0 << notDecimal;
    QTest::newRow("hexadecimal") << QByteArray("0x10") << -99.0 << notDecimal;
    QTest::newRow("nan") << QByteArray("nan") << -99.0 << notDecimal;
    QTest::newRow("inf") << QByteArray("inf") << -99.0 << notDecimal;
    QTest::newRow("two points") << QByteArray("1.5.2") << -99.0 << notDecimal;
    QTest::newRow("exponent without digits") << QByteArray("1e") << -99.0 << notDecimal;
    QTest::newRow("point alone") << QByteArray(".") << -99.0 << notDecimal;
    QTest::newRow("decimal comma is a list") << QByteArray("1,5") << -99.0 << "Expected a scalar text value: LeadC";
    QTest::newRow("empty") << QByteArray("") << -99.0 << "Empty configuration field: LeadC";
}

void tst_ProfileReaders::doubleField()
{
    QFETCH(QByteArray, value);
    QFETCH(double, expected);
    QFETCH(QString, error);

    OneLine ini("LeadC=" + value);
    double out = -99.0;
    QString reason;
    QCOMPARE(readDoubleField(ini.settings, QStringLiteral("LeadC"), &out, &reason), error.isEmpty());
    QCOMPARE(reason, error);
    QCOMPARE(out, expected);
}

QTEST_GUILESS_MAIN(tst_ProfileReaders)
#include "tst_profilereaders.moc"
