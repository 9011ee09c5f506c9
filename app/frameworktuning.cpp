// Framework settings applied around the creation of the application object.
#include "app/frameworktuning.h"

#include <QRegularExpression>
#include <QtGlobal>

FrameworkTuning::FrameworkTuning()
    : saved { { "QT_NO_GLIB", false, {} }, { "QT_ENABLE_REGEXP_JIT", false, {} } }
{
    for (Saved& variable : saved) {
        variable.wasSet = qEnvironmentVariableIsSet(variable.name);
        variable.value = qgetenv(variable.name);
    }
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
