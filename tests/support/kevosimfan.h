#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A kevo-sim fan of its own for one test: state, control and command log in
// a fresh directory. The fan answers without lag unless the control says so.
class KevoSimFan {
public:
    KevoSimFan();

    bool isValid() const { return dir.isValid(); }
    // Replaces the control file, which kevo-sim reads at every invocation.
    void setControl(const QByteArray& text);
    // The command lines kevo-sim was started with, oldest first.
    QStringList commandLog() const;
    // The environment that points kevo-sim at this fan.
    QMap<QString, QString> environment() const;
    // Points kevo-sim children of this very process at this fan.
    void exportToThisProcess() const;

private:
    QTemporaryDir dir;
};
