#include "devicelisting.h"

#include "servicecontrol.h"

QStringList serialPortDisplayNames(const QVector<SerialPortEntry> &ports, const QString &filter)
{
    QStringList names;
    for (const SerialPortEntry &port : ports) {
        const QString description = port.description.trimmed().isEmpty()
                ? QStringLiteral("Serial port")
                : port.description.trimmed();
        const QString name = description + QStringLiteral(" (") + port.portName + QLatin1Char(')');
        if (filter.isEmpty() || name.contains(filter, Qt::CaseSensitive))
            names.append(name);
    }
    return names;
}

// Here rather than beside the rest of the service control: only what lists
// devices (the configuration page) then links the serial port library, and a
// program without that page does not.
QStringList ServiceControl::listDevices(const QString &filter) const
{
    if (installation.deviceListing) {
        QStringList names = installation.deviceListing();
        return filter.isEmpty() ? names : names.filter(filter, Qt::CaseSensitive);
    }
    return listSerialDevices(filter, *logs);
}
