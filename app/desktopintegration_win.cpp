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

void scaleForm(QWidget *) { }

void skipGlIntegration() { }

bool freesHiddenWindows()
{
    return false;
}

QIcon formIcon(const QString &file, const QIcon &asLoaded)
{
    return asLoaded.isNull() ? QIcon(file) : asLoaded;
}

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

bool machineNumberAvailable()
{
    return false;
}

void clearTimePlaceholders(const QList<QLabel *> &) { }

bool marksSilentValues()
{
    return false;
}

void setFittedText(QLabel *label, const QString &text)
{
    label->setText(text);
}

} // namespace DesktopIntegration
