// The profile's closed set of keys: reading the file's lines for keys the profile reader
// ignores, takes twice or decodes without a word.
#include "profile/profileschema.h"

#include "profile/deviceprofile.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QVector>
#include <algorithm>

namespace {

const QString kGroup = QLatin1String(kProfileGroup);

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Byte offsets of one line as the profile reader splits the file; equals is -1 without an
// '=' outside double quotes.
struct IniLine {
    int start = 0;
    int end = 0;
    int equals = -1;
};

// The reader skips blank lines and ';' comment lines, and ends a line at a line break or a
// ';', except within double quotes or, for a line break, after a backslash: a quoted value
// or one ending in a backslash takes in the lines below it, whatever they look like.
bool nextIniLine(const QByteArray& data, int* position, IniLine* line)
{
    int start = *position;
    while (start < data.size() && isBlank(data.at(start)))
        ++start;
    int i = start;
    int equals = -1;
    bool quoted = false;
    while (i < data.size()) {
        const char c = data.at(i++);
        if (c == '=') {
            if (!quoted && equals == -1)
                equals = i - 1;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == '\\') {
            if (i < data.size()) {
                const char escaped = data.at(i++);
                // CR LF and LF CR are one line break.
                if (i < data.size()
                    && ((escaped == '\r' && data.at(i) == '\n') || (escaped == '\n' && data.at(i) == '\r')))
                    ++i;
            }
        } else if (c == ';' && i == start + 1) {
            while (i < data.size() && data.at(i) != '\n' && data.at(i) != '\r')
                ++i;
            while (i < data.size() && isBlank(data.at(i)))
                ++i;
            start = i;
        } else if ((c == '\n' || c == '\r' || c == ';') && !quoted) {
            --i;
            break;
        }
    }
    *position = i;
    *line = { start, i, equals };
    return i > start;
}

// As an editor numbers lines: CR LF, LF and a lone CR each end one.
QVector<int> lineStarts(const QByteArray& data)
{
    QVector<int> starts { 0 };
    for (int i = 0; i < data.size(); ++i) {
        if (data.at(i) == '\n' || (data.at(i) == '\r' && (i + 1 == data.size() || data.at(i + 1) != '\n')))
            starts << i + 1;
    }
    return starts;
}

// A key or section name as the reader decodes it: %XX and %UXXXX are character codes in
// hexadecimal, a backslash is the group separator '/', and any other byte is one character.
QString decodedName(const QByteArray& raw)
{
    QString name;
    for (int i = 0; i < raw.size();) {
        if (raw.at(i) == '\\') {
            name += QLatin1Char('/');
            ++i;
            continue;
        }
        if (raw.at(i) == '%' && i + 1 < raw.size()) {
            const int digits = raw.at(i + 1) == 'U' ? 4 : 2;
            const int first = i + 1 + (digits == 4 ? 1 : 0);
            bool ok = false;
            const int code = first + digits <= raw.size() ? raw.mid(first, digits).toInt(&ok, 16) : 0;
            if (ok) {
                name += QChar(code);
                i = first + digits;
                continue;
            }
        }
        name += QLatin1Char(raw.at(i++));
    }
    return name;
}

// A name kept on one line.
QString oneLine(const QString& name)
{
    QString shown;
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

// As the caller's user sees the fan program; a relative name is taken from the working directory.
QString backendProblem(const QString& program)
{
    const QFileInfo info(program);
    if (!info.exists())
        return program + QStringLiteral(" does not exist");
    if (!info.isFile() || !info.isExecutable())
        return program + QStringLiteral(" is not an executable file");
    return {};
}

struct Entry {
    enum Kind { Section, Key, Other };
    int line;
    Kind kind;
    QByteArray raw; // as written, without the blanks around it
    QString name; // as decoded
    bool inGroup;
};

} // namespace

QStringList profileKeyFindings(const QString& path, const QString& backendProgram)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray data = file.readAll();
    const QVector<int> starts = lineStarts(data);
    const QByteArray bom = "\xef\xbb\xbf"; // the reader skips it

    // All lines first: a repeated key names the line the guard uses, its last one. A section
    // named again goes on, so that holds across sections.
    QVector<Entry> entries;
    QHash<QString, int> lastLine;
    bool inGroup = false;
    IniLine l;
    for (int position = data.startsWith(bom) ? bom.size() : 0; nextIniLine(data, &position, &l);) {
        const int line = int(std::upper_bound(starts.begin(), starts.end(), l.start) - starts.begin());
        if (data.at(l.start) == '[') {
            // Up to the first ']'; the rest of the line is ignored.
            const int close = data.indexOf(']', l.start);
            const int end = close == -1 || close >= l.end ? l.end : close;
            const QByteArray raw = data.mid(l.start + 1, end - l.start - 1).trimmed();
            inGroup = decodedName(raw) == kGroup;
            entries.append({ line, Entry::Section, raw, decodedName(raw), false });
        } else if (l.equals != -1) {
            int end = l.equals;
            while (end > l.start && (data.at(end - 1) == ' ' || data.at(end - 1) == '\t'))
                --end;
            const QByteArray raw = data.mid(l.start, end - l.start);
            entries.append({ line, Entry::Key, raw, decodedName(raw), inGroup });
            if (inGroup)
                lastLine[entries.last().name] = line;
        } else {
            // The load refuses such a line within the group, and passes it elsewhere.
            entries.append({ line, Entry::Other, data.mid(l.start, l.end - l.start).trimmed(), QString(), false });
        }
    }

    const QStringList keys = deviceProfileKeys();
    QStringList findings;
    QHash<QString, int> earlier;
    for (const Entry& e : entries) {
        if (e.kind == Entry::Section) {
            if (e.raw.contains('%'))
                findings << QStringLiteral("line %1: [%2]: percent-escaped section name, read as [%3]")
                                .arg(QString::number(e.line), oneLine(QString::fromUtf8(e.raw)), oneLine(e.name));
            continue;
        }
        const QString at = QStringLiteral("line %1: %2: ")
                               .arg(QString::number(e.line),
                                   e.raw.isEmpty() ? QStringLiteral("(empty)") : oneLine(QString::fromUtf8(e.raw)));
        if (e.kind == Entry::Other) {
            findings << at + QStringLiteral("not a key, a section or a ';' comment");
            continue;
        }
        if (!e.inGroup) {
            findings << at + QStringLiteral("outside the group [%1], not read").arg(kGroup);
            continue;
        }
        if (e.raw.contains('%'))
            findings << at + QStringLiteral("percent-escaped key name, read as %1").arg(oneLine(e.name));
        if (!keys.contains(e.name))
            findings << at + QStringLiteral("unknown key");
        else if (earlier.contains(e.name))
            findings << at
                    + QStringLiteral("repeats line %1, the guard uses line %2")
                          .arg(earlier.value(e.name))
                          .arg(lastLine.value(e.name));
        earlier[e.name] = e.line;
        if (e.name == QLatin1String("BackendProgram") && e.line == lastLine.value(e.name)
            && !backendProgram.isEmpty()) {
            const QString problem = backendProblem(backendProgram);
            if (!problem.isEmpty())
                findings << at + problem;
        }
    }
    return findings;
}
