#pragma once

#include <QString>

// ostrelctl metrics: one scrape of the guard whose control socket is socketPath, on standard
// output or, written whole or not at all, in outputPath. profilePath, when not empty, is the
// guard's running copy of its profile, for its limits. Returns the exit status.
int metrics(const QString& socketPath, const QString& profilePath, const QString& outputPath);
