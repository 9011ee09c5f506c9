#pragma once

#include <QString>

// Writes reason into *error when the caller asked for it; always returns false,
// so every failure is one line that returns at once.
inline bool failWith(QString* error, const QString& reason)
{
    if (error)
        *error = reason;
    return false;
}
