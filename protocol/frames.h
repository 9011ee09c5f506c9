#pragma once

#include <QByteArray>

// A frame is one compact JSON object followed by a line feed; its content,
// the bytes before the line feed, is at most this long. Both directions.
constexpr int kFrameLimitBytes = 8192;

// True when an object anywhere in the frame names a member twice (names compared after
// their escapes are decoded). A guard must not guess which of two values a client meant,
// and the JSON reader would keep the first one's memory. This looks at strings and
// brackets only; on bytes that are not JSON its answer does not matter, as they are refused.
bool repeatsMemberName(const QByteArray& frame);
