// Framework settings applied around the creation of the application object.
#include "app/frameworktuning.h"

#include <QRegularExpression>
#include <QtGlobal>

FrameworkTuning::Saved FrameworkTuning::save(const char* name)
{
    return { name, qEnvironmentVariableIsSet(name), qgetenv(name) };
}

FrameworkTuning::FrameworkTuning()
    : saved { save("QT_NO_GLIB"), save("QT_ENABLE_REGEXP_JIT") }
{
    qputenv("QT_NO_GLIB", "1");
    qputenv("QT_ENABLE_REGEXP_JIT", "0");
}

void FrameworkTuning::settle()
{
    // The JIT setting is read once, at the first optimisation of any pattern.
    QRegularExpression(QStringLiteral("x")).optimize();
    for (const Saved& variable : saved) {
        if (variable.wasSet)
            qputenv(variable.name, variable.value);
        else
            qunsetenv(variable.name);
    }
}
