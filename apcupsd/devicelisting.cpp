#include "devicelisting.h"

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
