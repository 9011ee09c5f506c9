// The guard's confirmation and timing rules at their boundaries.
#include "guard/guardrules.h"

#include <QtTest>

class tst_GuardRules : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void confirmation_data();
    void confirmation();
    void timing_data();
    void timing();
};

void tst_GuardRules::confirmation_data()
{
    QTest::addColumn<int>("rpm");
    QTest::addColumn<int>("setpoint");
    QTest::addColumn<int>("requested");
    QTest::addColumn<bool>("confirms");

    // Tolerance 150 throughout.
    QTest::newRow("exact speed") << 3000 << 3000 << 3000 << true;
    QTest::newRow("tolerance above") << 3150 << 3000 << 3000 << true;
    QTest::newRow("tolerance below") << 2850 << 3000 << 3000 << true;
    QTest::newRow("one beyond the tolerance above") << 3151 << 3000 << 3000 << false;
    QTest::newRow("one beyond the tolerance below") << 2849 << 3000 << 3000 << false;
    QTest::newRow("right speed under an older setpoint") << 3000 << 2900 << 3000 << false;
    QTest::newRow("stopped fan confirms a stop") << 0 << 0 << 0 << true;
    QTest::newRow("no request yet") << 0 << 0 << -1 << false;
    QTest::newRow("extreme values do not overflow") << std::numeric_limits<int>::min() << 6000 << 6000 << false;
}

void tst_GuardRules::confirmation()
{
    QFETCH(int, rpm);
    QFETCH(int, setpoint);
    QFETCH(int, requested);
    QFETCH(bool, confirms);
    QCOMPARE(readingConfirms(rpm, setpoint, requested, 150), confirms);
}

void tst_GuardRules::timing_data()
{
    QTest::addColumn<QString>("rule");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<qint64>("since"); // the rule's reference time: start, feedback or deadline
    QTest::addColumn<bool>("holds");

    // Limits of 300 ms throughout; "since" -1 means none.
    QTest::newRow("confirmation pending one short of settling") << "overdue" << qint64(1299) << qint64(1000) << false;
    QTest::newRow("confirmation pending exactly settling") << "overdue" << qint64(1300) << qint64(1000) << false;
    QTest::newRow("confirmation pending one past settling") << "overdue" << qint64(1301) << qint64(1000) << true;
    QTest::newRow("nothing pending is never overdue") << "overdue" << qint64(100000) << qint64(-1) << false;

    QTest::newRow("feedback one short of the age limit") << "fresh" << qint64(1299) << qint64(1000) << true;
    QTest::newRow("feedback exactly at the age limit") << "fresh" << qint64(1300) << qint64(1000) << true;
    QTest::newRow("feedback one past the age limit") << "fresh" << qint64(1301) << qint64(1000) << false;
    QTest::newRow("no feedback is never fresh") << "fresh" << qint64(0) << qint64(-1) << false;

    QTest::newRow("one before the deadline") << "deadline" << qint64(999) << qint64(1000) << false;
    QTest::newRow("at the deadline") << "deadline" << qint64(1000) << qint64(1000) << true;
    QTest::newRow("after the deadline") << "deadline" << qint64(1001) << qint64(1000) << true;

    QTest::newRow("stop one short of the limit") << "stop" << qint64(1299) << qint64(1000) << false;
    QTest::newRow("stop exactly at the limit") << "stop" << qint64(1300) << qint64(1000) << true;
    QTest::newRow("no stop") << "stop" << qint64(100000) << qint64(-1) << false;
}

void tst_GuardRules::timing()
{
    QFETCH(QString, rule);
    QFETCH(qint64, now);
    QFETCH(qint64, since);
    QFETCH(bool, holds);

    if (rule == QLatin1String("overdue"))
        QCOMPARE(confirmationOverdue(now, since, 300), holds);
    else if (rule == QLatin1String("fresh"))
        QCOMPARE(feedbackFresh(now, since, 300), holds);
    else if (rule == QLatin1String("deadline"))
        QCOMPARE(deadlineReached(now, since), holds);
    else
        QCOMPARE(stopTooLong(now, since, 300), holds);
}

QTEST_GUILESS_MAIN(tst_GuardRules)
#include "tst_guardrules.moc"
