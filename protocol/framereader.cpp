// The frame reader: line feeds, the frame limit and member names found in one pass.
#include "protocol/framereader.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <cstring>

namespace {

// The name between quotes at [begin, end), its escapes decoded. Escapes that JSON does not
// have decode to anything at all: the parse refuses them anyway.
QString decodedName(const QByteArray& bytes, int begin, int end)
{
    QString name;
    for (int i = begin; i < end; ++i) {
        const int run = i;
        while (i < end && bytes[i] != '\\')
            ++i;
        name += QString::fromUtf8(bytes.constData() + run, i - run);
        if (i + 1 >= end)
            break;
        const char escaped = bytes[++i];
        if (escaped == 'u') {
            name += QChar(ushort(bytes.mid(i + 1, 4).toUInt(nullptr, 16)));
            i += 4;
        } else {
            static const QByteArray from = "bfnrt", to = "\b\f\n\r\t";
            const int at = from.indexOf(escaped);
            name += at < 0 ? QChar(escaped) : QChar(to[at]);
        }
    }
    return name;
}

} // namespace

void FrameReader::append(const QByteArray& bytes) { buffer.append(bytes); }

void FrameReader::clear()
{
    buffer.clear();
    scanned = 0;
    inString = escaping = stringEscaped = repeated = false;
    levels.clear();
    names.clear();
}

bool FrameReader::sameName(const Name& a, const Name& b) const
{
    if (!a.escaped && !b.escaped)
        return a.end - a.begin == b.end - b.begin
            && std::memcmp(buffer.constData() + a.begin, buffer.constData() + b.begin, size_t(a.end - a.begin)) == 0;
    return decodedName(buffer, a.begin, a.end) == decodedName(buffer, b.begin, b.end);
}

// Resumes where the last call stopped, so bytes that arrive piecemeal are still looked at once.
// Brackets and strings are all it knows of JSON: on bytes that are not JSON its notes do not
// matter, as the parse refuses them.
int FrameReader::scan()
{
    const char* bytes = buffer.constData();
    const int end = qMin(int(buffer.size()), kFrameLimitBytes + 1);
    for (; scanned < end; ++scanned) {
        const char c = bytes[scanned];
        if (inString) {
            if (escaping) {
                escaping = false;
            } else if (c == '\\') {
                escaping = stringEscaped = true;
            } else if (c == '"') {
                inString = false;
                if (!levels.empty() && levels.back().expectsName) {
                    levels.back().expectsName = false;
                    const Name name { stringBegin, scanned, stringEscaped };
                    for (size_t i = levels.back().firstName; i < names.size() && !repeated; ++i)
                        repeated = sameName(names[i], name);
                    names.push_back(name);
                }
            } else if (c == '\n') {
                return scanned; // a line feed never belongs to a string: the frame ends here
            }
            continue;
        }
        switch (c) {
        case '\n':
            return scanned;
        case '"':
            inString = true;
            stringEscaped = false;
            stringBegin = scanned + 1;
            break;
        case '{':
        case '[':
            levels.push_back({ c == '{', c == '{', names.size() });
            break;
        case '}':
        case ']':
            if (!levels.empty()) {
                names.resize(levels.back().firstName);
                levels.pop_back();
            }
            break;
        case ',':
            if (!levels.empty())
                levels.back().expectsName = levels.back().object;
            break;
        default:
            break;
        }
    }
    return -1;
}

bool FrameReader::next(QJsonObject* message, QString* error)
{
    error->clear();
    const int lineFeed = scan();
    if (lineFeed < 0) {
        if (scanned > kFrameLimitBytes)
            *error = tooLarge();
        return false;
    }
    const bool repeats = repeated;
    QJsonParseError parseError { 0, QJsonParseError::NoError };
    // The reader would keep the memory of the first of two values named alike: not parsed at all.
    const QJsonDocument document = repeats
        ? QJsonDocument()
        : QJsonDocument::fromJson(QByteArray::fromRawData(buffer.constData(), lineFeed), &parseError);
    buffer.remove(0, lineFeed + 1);
    scanned = 0;
    inString = escaping = repeated = false;
    levels.clear();
    names.clear();
    if (repeats || parseError.error != QJsonParseError::NoError || !document.isObject()) {
        *error = malformed();
        return false;
    }
    *message = document.object();
    return true;
}
