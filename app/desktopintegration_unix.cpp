#include "desktopintegration.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QLabel>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTextDocument>

namespace DesktopIntegration {

namespace {

const auto desktopOption = QStringLiteral("--desktop");

QString dataFolder()
{
    // $XDG_DATA_HOME/Voltrine, by default ~/.local/share/Voltrine.
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/share");
    return base + QStringLiteral("/Voltrine");
}

QString configFolder()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base;
}

// The Exec value of a desktop entry: the program quoted as desktop entries require.
QString execLine()
{
    QString program = QCoreApplication::applicationFilePath();
    program.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
            .replace(QLatin1Char('"'), QStringLiteral("\\\""))
            .replace(QLatin1Char('`'), QStringLiteral("\\`"))
            .replace(QLatin1Char('$'), QStringLiteral("\\$"));
    program.replace(QLatin1Char('%'), QStringLiteral("%%"));
    return QLatin1Char('"') + program + QStringLiteral("\" ") + desktopOption;
}

// Whether text surely fits on one line of width, told without laying it
// out (which costs far more, and values are set about once a second): for
// Latin-1 text the width is the sum of the characters' advances up to
// kerning, for which half an average character is kept spare.
bool fitsOnOneLine(const QFont &font, const QString &text, int width)
{
    const QFontMetricsF metrics(font);
    qreal needed = metrics.averageCharWidth() / 2;
    for (const QChar character : text) {
        if (character.unicode() > 0xff || !character.isPrint())
            return false;
        needed += metrics.horizontalAdvance(character);
        if (needed > width)
            return false;
    }
    return true;
}

} // namespace

QString chooseDataFolder(const QStringList &arguments)
{
    const QString here = QDir::currentPath();
    const bool launcherFolder = here == QDir::rootPath() ||
            QFileInfo(here).canonicalFilePath() == QFileInfo(QDir::homePath()).canonicalFilePath();
    if (!arguments.mid(1).contains(desktopOption) && !launcherFolder)
        return here;
    const QString folder = dataFolder();
    if (!QDir().mkpath(folder))
        return QString();
    // Trace.log and confdata (with the database password) are the user's alone.
    QFile::setPermissions(folder,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    if (!QDir::setCurrent(folder))
        return QString();
    return folder;
}

QString formFontFamily()
{
    // Liberation Sans has the metrics of Arial, the nearest of Debian's fonts
    // to the Windows dialog font the form's coordinates were chosen for.
    return QStringLiteral("Liberation Sans");
}

void useFormFont()
{
    QFont font = QApplication::font();
    font.setFamily(formFontFamily());
    QApplication::setFont(font);
}

bool autostartAvailable()
{
    return true;
}

QString autostartEntryPath()
{
    return configFolder() + QStringLiteral("/autostart/voltrine.desktop");
}

bool autostartEnabled()
{
    return QFileInfo::exists(autostartEntryPath());
}

bool setAutostartEnabled(bool enabled, QString *error)
{
    const QString path = autostartEntryPath();
    if (!enabled) {
        QFile entry(path);
        if (entry.exists() && !entry.remove()) {
            *error = entry.errorString();
            return false;
        }
        return true;
    }
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        *error = QStringLiteral("cannot make the folder ") + QFileInfo(path).absolutePath();
        return false;
    }
    QSaveFile entry(path);
    if (!entry.open(QIODevice::WriteOnly)) {
        *error = entry.errorString();
        return false;
    }
    const QByteArray text = "[Desktop Entry]\n"
                            "Type=Application\n"
                            "Name=Voltrine\n"
                            "Comment=Watches the UPS through apcupsd\n"
                            "Exec=" +
            execLine().toUtf8() +
            "\n"
            "Icon=voltrine\n"
            "Terminal=false\n"
            "X-GNOME-Autostart-enabled=true\n";
    if (entry.write(text) != text.size() || !entry.commit()) {
        *error = entry.errorString();
        return false;
    }
    return true;
}

void setFittedText(QLabel *label, const QString &text)
{
    const QRect room = label->contentsRect();
    const QFontMetrics metrics(label->font());
    QString shown = text;
    if (room.height() >= metrics.height() && fitsOnOneLine(label->font(), text, room.width())) {
        // Shown whole, without laying the text out.
    } else if (label->wordWrap()) {
        const int flags = int(label->alignment()) | Qt::TextWordWrap;
        const auto fits = [&](const QString &candidate) {
            const QRect needed = metrics.boundingRect(room, flags, candidate);
            return needed.height() <= room.height() && needed.width() <= room.width();
        };
        // As much as the lines hold, ending in an ellipsis.
        const int lines = qMax(1, room.height() / metrics.lineSpacing());
        for (int width = room.width() * lines; !fits(shown) && width > 0;
             width -= metrics.averageCharWidth())
            shown = metrics.elidedText(text, Qt::ElideRight, width);
    } else {
        shown = metrics.elidedText(text, Qt::ElideRight, room.width());
    }
    label->setText(shown);
    // A tooltip that looks like markup is shown as markup: such a value is
    // turned into markup that shows it as it is, like its plain-text label.
    const QString tip = Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text) : text;
    label->setToolTip(shown == text ? QString() : tip);
}

} // namespace DesktopIntegration
