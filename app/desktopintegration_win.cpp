#include "desktopintegration.h"

#include <QLabel>

namespace DesktopIntegration {

QString chooseDataFolder(const QStringList &)
{
    return QString();
}

QString formFontFamily()
{
    return QString();
}

void useFormFont() { }

void nameAfterMenuEntry() { }

bool autostartAvailable()
{
    return false;
}

QString autostartEntryPath()
{
    return QString();
}

bool autostartEnabled()
{
    return false;
}

bool setAutostartEnabled(bool, QString *)
{
    return false;
}

void setFittedText(QLabel *label, const QString &text)
{
    label->setText(text);
}

} // namespace DesktopIntegration
