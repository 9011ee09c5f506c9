// The frame reader: line feeds, the frame limit and member names found in one pass.
#include "protocol/framereader.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <array>
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

// The bytes the scan stops at: inside a string, its end, an escape and a line feed; outside,
// brackets, commas, quotes and a line feed. Every other byte is passed over in a tight loop.
constexpr unsigned char kInString = 1, kOutside = 2;
constexpr std::array<unsigned char, 256> kStops = [] {
    std::array<unsigned char, 256> stops {};
    for (const char c : { '"', '\\', '\n' })
        stops[uchar(c)] |= kInString;
    for (const char c : { '"', '{', '}', '[', ']', ',', '\n' })
        stops[uchar(c)] |= kOutside;
    return stops;
}();

} // namespace

void FrameReader::append(const QByteArray& bytes)
{
    // Mostly a frame arrives whole, into an empty buffer: then it is shared, not copied.
    if (buffer.isEmpty())
        buffer = bytes;
    else
        buffer.append(bytes);
}

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
    int at = scanned;
    int lineFeed = -1;
    while (at < end && lineFeed < 0) {
        if (inString && escaping) {
            escaping = false;
            ++at;
            continue;
        }
        const unsigned char stop = inString ? kInString : kOutside;
        while (at < end && !(kStops[uchar(bytes[at])] & stop))
            ++at;
        if (at == end)
            break;
        const char c = bytes[at];
        if (c == '\n') {
            lineFeed = at; // a line feed never belongs to a string: the frame ends here
        } else if (inString) {
            if (c == '\\')
                escaping = stringEscaped = true;
            else if (!levels.empty() && levels.back().expectsName)
                noteName(at);
            else
                inString = false;
        } else if (c == '"') {
            inString = true;
            stringEscaped = false;
            stringBegin = at + 1;
        } else if (c == '{' || c == '[') {
            levels.push_back({ c == '{', c == '{', false, 0, names.size() });
        } else if (c == '}' || c == ']') {
            if (!levels.empty()) {
                names.resize(levels.back().firstName);
                levels.pop_back();
            }
        } else if (!levels.empty()) { // a comma
            levels.back().expectsName = levels.back().object;
        }
        ++at;
    }
    scanned = at;
    return lineFeed;
}

// A string that names a member ends at the quote at end: the name is compared with the names
// before it in its object, as far as a cheap signature (length, first and last byte) leaves a
// doubt. Names with escapes are always compared, decoded.
void FrameReader::noteName(int end)
{
    inString = false;
    Level& level = levels.back();
    level.expectsName = false;
    const Name name { stringBegin, end, stringEscaped };
    const int length = end - stringBegin;
    const char* bytes = buffer.constData();
    const quint64 signature
        = quint64(1) << ((length + (length > 0 ? uchar(bytes[stringBegin]) + 3 * uchar(bytes[end - 1]) : 0)) & 63);
    if (name.escaped || level.escaped || (level.signatures & signature)) {
        for (size_t i = level.firstName; i < names.size() && !repeated; ++i)
            repeated = sameName(names[i], name);
    }
    level.signatures |= signature;
    level.escaped = level.escaped || name.escaped;
    names.push_back(name);
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
