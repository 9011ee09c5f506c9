// The frame reader: line feeds, the frame limit and member names found in one pass.
#include "protocol/framereader.h"

#include <QJsonDocument>
#include <array>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
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

// Passes over the bytes of a string up to the first that ends it, escapes or ends the frame:
// sixteen at a time where the processor can compare them so, the rest by table.
int skipStringBytes(const char* bytes, int at, int end)
{
#ifdef __SSE2__
    const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'), lineFeed = _mm_set1_epi8('\n');
    for (; at + 16 <= end; at += 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at));
        const int stops = _mm_movemask_epi8(
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, quote), _mm_cmpeq_epi8(chunk, backslash)),
                _mm_cmpeq_epi8(chunk, lineFeed)));
        if (stops != 0)
            return at + __builtin_ctz(unsigned(stops));
    }
#endif
    while (at < end && !(kStops[uchar(bytes[at])] & kInString))
        ++at;
    return at;
}

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
// matter, as the parse refuses them. The state lives in locals while the bytes go by.
int FrameReader::scan()
{
    const char* bytes = buffer.constData();
    const int end = qMin(int(buffer.size()), kFrameLimitBytes + 1);
    int at = scanned;
    int lineFeed = -1;
    bool inStr = inString, escape = escaping;
    while (lineFeed < 0) {
        if (inStr) {
            // The rest of a string: only its end, an escape and a line feed matter.
            if (escape) {
                if (at == end)
                    break;
                escape = false;
                ++at;
            }
            at = skipStringBytes(bytes, at, end);
            if (at == end)
                break;
            const char c = bytes[at++];
            if (c == '\\') {
                escape = stringEscaped = true;
            } else if (c == '\n') {
                lineFeed = at - 1; // a line feed never belongs to a string: the frame ends here
            } else {
                inStr = false;
                if (!levels.empty() && levels.back().expectsName)
                    noteName(at - 1);
            }
            continue;
        }
        while (at < end && !(kStops[uchar(bytes[at])] & kOutside))
            ++at;
        if (at == end)
            break;
        const char c = bytes[at++];
        if (c == '"') {
            inStr = true;
            stringEscaped = false;
            stringBegin = at;
        } else if (c == '{' || c == '[') {
            levels.push_back({ c == '{', c == '{', false, 0, names.size() });
        } else if (c == '}' || c == ']') {
            if (!levels.empty()) {
                names.resize(levels.back().firstName);
                levels.pop_back();
            }
        } else if (c == '\n') {
            lineFeed = at - 1;
        } else if (!levels.empty()) { // a comma
            levels.back().expectsName = levels.back().object;
        }
    }
    scanned = at;
    inString = inStr;
    escaping = escape;
    return lineFeed;
}

// A string that names a member ends at the quote at end: the name is compared with the names
// before it in its object that a cheap signature (length, first, middle and last byte) leaves in
// doubt. Names with escapes are compared with all, decoded.
void FrameReader::noteName(int end)
{
    Level& level = levels.back();
    level.expectsName = false;
    const int length = end - stringBegin;
    const uchar* bytes = reinterpret_cast<const uchar*>(buffer.constData()) + stringBegin;
    // Of an empty name, the quotes around it: they are in the buffer too.
    const int mix = 7 * length + 3 * bytes[0] + 5 * bytes[length / 2] + bytes[length - 1];
    const Name name { stringBegin, end, stringEscaped, quint64(1) << (mix & 63) };
    if (name.escaped || level.escaped || (level.signatures & name.signature)) {
        for (size_t i = level.firstName; i < names.size() && !repeated; ++i) {
            if (names[i].signature == name.signature || name.escaped || level.escaped)
                repeated = sameName(names[i], name);
        }
    }
    level.signatures |= name.signature;
    level.escaped = level.escaped || name.escaped;
    names.push_back(name);
}

bool FrameReader::next(QJsonObject* message, QString* error, QByteArray* frame)
{
    error->clear();
    const int lineFeed = scan();
    if (lineFeed < 0) {
        if (scanned > kFrameLimitBytes)
            *error = tooLarge();
        return false;
    }
    const bool repeats = repeated;
    // The reader would keep the memory of the first of two values named alike: not parsed at all.
    // A frame that is all there is, its line feed included, is parsed in place: the line feed is
    // blank space to the reader. A document that does not parse is null, and no object.
    QJsonDocument document;
    if (!repeats)
        document = QJsonDocument::fromJson(
            lineFeed + 1 == buffer.size() ? buffer : QByteArray::fromRawData(buffer.constData(), lineFeed));
    if (frame)
        *frame = buffer.left(lineFeed + 1);
    buffer.remove(0, lineFeed + 1);
    scanned = 0;
    inString = escaping = repeated = false;
    levels.clear();
    names.clear();
    if (!document.isObject()) {
        *error = malformed();
        return false;
    }
    *message = document.object();
    return true;
}
