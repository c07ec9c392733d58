#include "devicelisting.h"

#include "logs.h"
#include "wmidevices_win.h"

QStringList listSerialDevices(const QString &filter, Logs &logs)
{
    const WmiDeviceListing listing = listPnpDeviceNames(filter.toStdWString());
    if (!listing.failure.empty())
        logs.trace(QString::fromStdString(listing.failure));
    QStringList names;
    for (const std::wstring &name : listing.names)
        names.append(QString::fromStdWString(name));
    return names;
}
