#pragma once

#include <QtGlobal>

// A frame is one compact JSON object followed by a line feed; its content,
// the bytes before the line feed, is at most this long. Both directions.
constexpr int kFrameLimitBytes = 8192;
