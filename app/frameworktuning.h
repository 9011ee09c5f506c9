#pragma once

#include <QByteArray>

// Two process-wide framework settings the guard runs leaner with: the plain
// Unix event dispatcher instead of the glib one (fewer system calls per
// event), and regular expressions without JIT compilation (the profile rules
// compile the reply pattern anew for every control request and match it once,
// so a JIT compilation would cost more than the match; the results are the
// same either way). The framework takes both from the environment when the
// application object is made and at the first optimisation of a pattern;
// settle() makes that happen and then restores the environment, so the fan
// program still inherits the guard's environment unchanged.
class FrameworkTuning {
public:
    FrameworkTuning();
    void settle();

private:
    struct Saved {
        const char* name;
        bool wasSet;
        QByteArray value;
    };
    Saved saved[2];
};
