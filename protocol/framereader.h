#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <vector>

// A frame is one compact JSON object followed by a line feed; its content, the bytes before the
// line feed, is at most this long. Both directions.
constexpr int kFrameLimitBytes = 8192;

// Cuts a byte stream into frames and reads each as a JSON object; the guard, the client library,
// ostrelctl and the tests all read through it. Bytes are looked at once: the search for the line
// feed also notes every member name, so a name given twice is refused without a second pass.
class FrameReader {
public:
    // The reasons a stream cannot go on, the same for every reader.
    static QString tooLarge() { return QStringLiteral("IPC frame too large"); }
    static QString malformed() { return QStringLiteral("Malformed IPC frame"); }

    // What has arrived.
    void append(const QByteArray& bytes);
    // Takes the next complete frame out, read into *message. Returns false when there is none:
    // *error is then empty while more bytes may complete one, or says why the stream cannot go
    // on (a frame past its limit, bytes that are not one JSON object, a member named twice).
    // *frame, when given, gets the frame's bytes as they came, its line feed included.
    bool next(QJsonObject* message, QString* error, QByteArray* frame = nullptr);
    // Bytes of a frame not yet complete.
    int pending() const { return int(buffer.size()); }
    void clear();

private:
    struct Name {
        int begin;
        int end;
        bool escaped;
        quint64 signature; // one bit, from a few of its bytes
    };
    struct Level {
        bool object;
        bool expectsName;
        bool escaped; // a name of this level has escapes
        quint64 signatures; // of this level's names, a bit each
        size_t firstName; // this level's names start here in names
    };
    // Scans from scanned to the line feed that ends the frame; its offset, or -1.
    int scan();
    void noteName(int end);
    bool sameName(const Name& a, const Name& b) const;

    QByteArray buffer;
    int scanned = 0;
    bool inString = false;
    bool escaping = false;
    int stringBegin = 0;
    bool stringEscaped = false;
    bool repeated = false;
    std::vector<Level> levels;
    std::vector<Name> names;
};
