#include "protocol/frames.h"

#include <QSet>
#include <QString>
#include <vector>

namespace {

// The name between quotes at [begin, end), its escapes decoded. Escapes that JSON does not
// have decode to anything at all: the parse refuses them anyway.
QString decodedName(const QByteArray& frame, int begin, int end)
{
    QString name;
    for (int i = begin; i < end; ++i) {
        const int run = i;
        while (i < end && frame[i] != '\\')
            ++i;
        name += QString::fromUtf8(frame.constData() + run, i - run);
        if (i + 1 >= end)
            break;
        const char escaped = frame[++i];
        if (escaped == 'u') {
            name += QChar(ushort(frame.mid(i + 1, 4).toUInt(nullptr, 16)));
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

bool repeatsMemberName(const QByteArray& frame)
{
    struct Level {
        bool object;
        bool expectsName;
        QSet<QString> names;
    };
    std::vector<Level> levels;
    const int size = frame.size();
    for (int i = 0; i < size; ++i) {
        switch (frame[i]) {
        case '{':
            levels.push_back({ true, true, {} });
            break;
        case '[':
            levels.push_back({ false, false, {} });
            break;
        case '}':
        case ']':
            if (!levels.empty())
                levels.pop_back();
            break;
        case ',':
            if (!levels.empty())
                levels.back().expectsName = levels.back().object;
            break;
        case '"': {
            const int begin = i + 1;
            bool escapes = false;
            for (++i; i < size && frame[i] != '"'; ++i) {
                if (frame[i] == '\\') {
                    escapes = true;
                    ++i;
                }
            }
            if (i >= size)
                return false;
            if (levels.empty() || !levels.back().expectsName)
                break;
            Level& level = levels.back();
            level.expectsName = false;
            const QString name
                = escapes ? decodedName(frame, begin, i) : QString::fromUtf8(frame.constData() + begin, i - begin);
            if (level.names.contains(name))
                return true;
            level.names.insert(name);
            break;
        }
        default:
            break;
        }
    }
    return false;
}
