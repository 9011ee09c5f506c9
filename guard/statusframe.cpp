// Writing the status frame.
#include "guard/statusframe.h"

namespace {

void appendString(QByteArray& out, const QString& text)
{
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    for (const char c : text.toUtf8()) {
        const auto byte = static_cast<unsigned char>(c);
        switch (byte) {
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
            if (byte < 0x20) {
                out += "\\u00";
                out += kHex[byte >> 4];
                out += kHex[byte & 0xf];
            } else {
                out += c;
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
