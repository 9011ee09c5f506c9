// Profiles and files, row tables, the status contract, the test client and the notify peer.
#include "harness.h"

#include <sys/socket.h>
#include <sys/un.h>

const QString kShortTimings = "CommandTimeoutMs=200;SpinUpMs=100;SettlingMs=600;LeaseMs=2000;MaximumFeedbackAgeMs=2000;"
                              "MaximumSampleAgeMs=2000;MaximumOffMs=2000;LeadSeconds=1";
const QString kKevoSimFan = "CommandTimeoutMs=500;BackendProgram=" KEVO_SIM_PROGRAM;

bool harnessFailed(const QString& what)
{
    if (!QTest::currentTestFunction()) {
        std::fprintf(stderr, "%s\n", qPrintable(what));
        std::abort();
    }
    QTest::qFail(qPrintable(what), __FILE__, __LINE__);
    return false;
}

QString readText(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        harnessFailed("cannot read " + path);
    return QString::fromUtf8(file.readAll());
}

QByteArray profileText(const QString& changes)
{
    QString text = readText(OSTREL_EXAMPLE_PROFILE);
    for (const QString& change : changes.split(';', Qt::SkipEmptyParts)) {
        const QRegularExpression line(
            "^" + QRegularExpression::escape(change.section('=', 0, 0).remove('-')) + "=.*\\n",
            QRegularExpression::MultilineOption);
        if (change.startsWith('-') || (change.contains('=') && text.contains(line)))
            text.remove(line);
        if (!change.startsWith('-'))
            text += change + '\n';
    }
    return text.toUtf8();
}

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& content)
{
    QSaveFile file(dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit())
        harnessFailed("cannot write " + file.fileName());
    return file.fileName();
}

DeviceProfile loadedProfile(const QString& changes)
{
    static QHash<QString, DeviceProfile> loaded; // the fuzzer asks for the same one every run
    if (loaded.contains(changes))
        return loaded.value(changes);
    QTemporaryDir dir;
    DeviceProfile profile;
    QString error;
    if (!loadDeviceProfile(writeFile(dir, "p.ini", profileText(changes)), &profile, &error))
        harnessFailed("test profile refused: " + error);
    return loaded[changes] = profile;
}

void useFan(const QTemporaryDir& dir, const QString& control)
{
    qputenv("KEVO_SIM_STATE", dir.filePath("fan").toUtf8());
    qputenv("KEVO_SIM_CONTROL",
        writeFile(dir, "fan.control", QString("lag-ms=0;" + control + ';').replace(';', '\n').toUtf8()).toUtf8());
    qputenv("KEVO_SIM_LOG", dir.filePath("fan.log").toUtf8());
}

QString fanSetpoint(const QTemporaryDir& dir)
{
    QFile state(dir.filePath("fan"));
    return state.open(QIODevice::ReadOnly) ? QString(state.readAll()).section(' ', 0, 0) : QString();
}

void addRows(const char* table)
{
    static QList<QByteArray> names; // the test table keeps pointers to them
    const QString path = QString(OSTREL_TEST_TABLES "/%1.txt").arg(table);
    const QStringList lines = readText(path).split('\n');
    const QStringList header = lines.value(0).mid(1).split('|'); // "# name | column | ..."
    if (!lines.value(0).startsWith('#') || header.size() < 2) {
        harnessFailed(path + ": the first line must name the columns");
        return;
    }
    for (const QString& column : header.mid(1))
        QTest::addColumn<QString>((names << column.trimmed().toLatin1()).last().constData());
    QSet<QString> rows;
    for (int n = 1; n < lines.size(); ++n) {
        const QStringList fields = lines[n].split('|');
        const QString where = QString("%1:%2: ").arg(path).arg(n + 1);
        if (lines[n].startsWith('#') || lines[n].trimmed().isEmpty())
            continue;
        if (fields.size() != header.size())
            harnessFailed(where + QString("%1 fields, the header names %2").arg(fields.size()).arg(header.size()));
        else if (rows.contains(fields[0].trimmed())) // QtTest would run both under one name
            harnessFailed(where + "a second row named " + fields[0].trimmed());
        else {
            rows << fields[0].trimmed();
            QTestData& row = QTest::newRow(qPrintable(fields[0].trimmed()));
            for (const QString& field : fields.mid(1))
                row << field.trimmed();
        }
    }
}

QString statusProblem(const QByteArray& line)
{
    // The guard writes the members in key order, so one pattern checks them all.
    static const QRegularExpression shape(
        QString(R"(\A\{"ageMs":(?<age>-1|\d+),"commandSequence":"\d+","fault":(?<fault>true|false),)"
                R"re("lease":"(?<lease>%1)?","ready":(?<ready>true|false),"reason":"(?<reason>[^"\\]*)",)re"
                R"("requestedRpm":(?<requested>-?\d+),"rpm":\d+,"rpmValid":(?<valid>true|false),"serial":"[^"]*",)"
                R"("session":"%1","simulation":(true|false),"type":"status","version":1\}\n\z)")
            .arg("[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}"));
    const QRegularExpressionMatch s = shape.match(QString::fromUtf8(line));
    const bool fault = s.captured("fault") == "true";
    // A fault has its reason, the safe speed and no lease; valid feedback has an age.
    if (!s.hasMatch() || fault == s.captured("reason").isEmpty()
        || (fault
            && (s.captured("ready") == "true" || s.captured("requested") != "6000" || !s.captured("lease").isEmpty()))
        || (s.captured("valid") == "true" && s.captured("age") == "-1"))
        return "breaks the status contract: " + QString::fromUtf8(line).trimmed();
    return {};
}

bool Client::connectTo(const QString& path, bool served)
{
    // A guard still busy with a client that has just left turns newcomers away: try again.
    return QTest::qWaitFor([&] {
        if (socket.state() == QLocalSocket::UnconnectedState)
            socket.connectToServer(path);
        read();
        return socket.state() == QLocalSocket::ConnectedState && (!served || statuses > 0);
    });
}

void Client::read()
{
    if (socket.bytesAvailable() > 0) // nothing to read from a socket already closed
        frames.append(socket.read(socket.bytesAvailable()));
    QJsonObject status;
    QString error;
    for (QByteArray frame; frames.next(&status, &error, &frame); ++statuses) {
        if (const QString problem = statusProblem(frame); !problem.isEmpty())
            problems << problem;
        if (onStatus)
            onStatus(status);
    }
    if (!error.isEmpty())
        problems << "a status the frame reader refuses: " + error;
}

NotifyPeer::NotifyPeer(const QString& path)
    : fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0))
{
    sockaddr_un address { AF_UNIX, {} };
    qstrncpy(address.sun_path, qPrintable(path), sizeof address.sun_path);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        harnessFailed("cannot bind the notify peer at " + path);
    QObject::connect(&notifier, &QSocketNotifier::activated, [this] { count({}); });
}

int NotifyPeer::count(const QString& message)
{
    char buffer[256];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
        received << QString::fromUtf8(buffer, int(n));
    return received.count(message);
}
