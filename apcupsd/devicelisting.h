#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

class Logs;

// The machine's devices that a UPS can be connected to, by display name, such
// as "Communications Port (COM1)" on Windows or "Serial port (ttyS0)" on
// Linux: a description followed by the port name in parentheses. Only names
// that contain filter are returned (case-sensitive; all when it is empty). A
// failure of the listing is traced and gives an empty list.
QStringList listSerialDevices(const QString &filter, Logs &logs);

struct SerialPortEntry
{
    QString description;
    QString portName;
};

// "<description> (<port name>)" for each port whose name contains filter, in
// the given order; a port without a description is called "Serial port".
QStringList serialPortDisplayNames(const QVector<SerialPortEntry> &ports, const QString &filter);
