#include "devicelisting.h"

#include <QSerialPortInfo>

QStringList listSerialDevices(const QString &filter, Logs &)
{
    // Only ports that exist: QSerialPortInfo leaves out the kernel's
    // placeholders for serial ports the machine does not have.
    QVector<SerialPortEntry> ports;
    const auto available = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : available)
        ports.append({info.description(), info.portName()});
    return serialPortDisplayNames(ports, filter);
}
