#pragma once

#include <QString>
#include <QtGlobal>
#include <limits>

// The records a control message decodes into (guard/controlparsing.h).

struct TemperatureSample {
    bool valid = false;
    QString serial;
    QString session;
    quint64 sequence = 0;
    double temperatureC = std::numeric_limits<double>::quiet_NaN();
    qint64 ageMs = -1;
};

struct ControlRequest {
    quint64 sequence = 0;
    quint64 progress = 0;
    double rpm = -1;
    double TargetTemperatureC = std::numeric_limits<double>::quiet_NaN();
    QString state;
    TemperatureSample sample;
};
