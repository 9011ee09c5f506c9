// Writing the status frame.
#include "guard/statusframe.h"

namespace {

void appendHexEscape(QByteArray& out, ushort unit)
{
    static const char kHex[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4)
        out += kHex[(unit >> shift) & 0xf];
}

void appendString(QByteArray& out, const QString& text)
{
    out += '"';
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const ushort unit = c.unicode();
        switch (unit) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (unit < 0x20) {
                appendHexEscape(out, unit);
            } else if (unit < 0x80) {
                out += char(unit);
            } else if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
                out += QString(text.constData() + i, 2).toUtf8();
                ++i;
            } else if (c.isSurrogate()) {
                // An unpaired half of a pair has no UTF-8 form; JSON can still carry it escaped.
                appendHexEscape(out, unit);
            } else {
                out += QString(c).toUtf8();
            }
        }
    }
    out += '"';
}

const char* boolean(bool value) { return value ? "true" : "false"; }

} // namespace

QByteArray statusFrame(const StatusFields& s)
{
    QByteArray out;
    out.reserve(384);
    out += "{\"ageMs\":";
    out += QByteArray::number(s.ageMs);
    out += ",\"commandSequence\":\"";
    out += QByteArray::number(s.commandSequence);
    out += "\",\"fault\":";
    out += boolean(s.fault);
    out += ",\"lease\":";
    appendString(out, s.lease);
    out += ",\"ready\":";
    out += boolean(s.ready);
    out += ",\"reason\":";
    appendString(out, s.reason);
    out += ",\"requestedRpm\":";
    out += QByteArray::number(s.requestedRpm);
    out += ",\"rpm\":";
    out += QByteArray::number(s.rpm);
    out += ",\"rpmValid\":";
    out += boolean(s.rpmValid);
    out += ",\"serial\":";
    appendString(out, s.serial);
    out += ",\"session\":";
    appendString(out, s.session);
    out += ",\"simulation\":";
    out += boolean(s.simulation);
    out += ",\"type\":\"status\",\"version\":1}\n";
    return out;
}
