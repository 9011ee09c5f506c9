#pragma once

#include <QByteArray>

// Two process-wide framework settings, applied around the creation of the application object.
// Neither changes what the guard does; both make it cheaper, measured by the benchmark (bench/):
//   QT_NO_GLIB=1: the plain Unix event dispatcher instead of the glib one. It saves about 6 500
//     instructions of a control request's 140 000; without it the request costs about 4% more.
//   QT_ENABLE_REGEXP_JIT=0: patterns interpreted, not compiled to machine code. The fan's reply
//     pattern is compiled anew for every reading (and was, until the profile rules kept their
//     answer, for every control request, where the JIT added 72%): each is used once, so a JIT
//     compilation costs more than the match it speeds up. Results are the same either way.
// The framework reads both from the environment, when the application object is made and at the
// first optimisation of a pattern; settle() makes that happen and then puts the environment back
// as it was, so that the fan program inherits the guard's environment unchanged.
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
    static Saved save(const char* name);
    Saved saved[2];
};
