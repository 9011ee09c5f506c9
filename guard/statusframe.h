#pragma once

#include <QByteArray>
#include <QString>

// The values of one status message.
struct StatusFields {
    QString session;
    QString lease;
    QString serial;
    QString reason;
    quint64 commandSequence = 0;
    int requestedRpm = -1;
    int rpm = 0;
    qint64 ageMs = -1;
    bool ready = false;
    bool rpmValid = false;
    bool fault = false;
    bool simulation = false;
};

// The status as one frame: compact JSON with the members in ascending key
// order, exactly as QJsonDocument writes it, and a line feed. Written by hand
// because building a QJsonObject for every status costs more than the rest of
// a control request.
QByteArray statusFrame(const StatusFields& status);
