#include "desktopintegration.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImageReader>
#include <QLabel>
#include <QPixmap>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTextDocument>
#include <QWidget>

#include <array>
#include <memory>
#include <vector>

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

// What decides a font's advances, read without building its description
// string, which costs more than the rest of a label's refresh.
struct FontIdentity
{
    QString family;
    QString styleName;
    qreal pointSize = 0;
    int pixelSize = 0;
    int weight = 0;
    int style = 0;
    int stretch = 0;
    int strategy = 0;
    int hinting = 0;
    int capitalization = 0;
    bool kerning = false;
    qreal letterSpacing = 0;
    qreal wordSpacing = 0;

    explicit FontIdentity(const QFont &font)
        : family(font.family())
        , styleName(font.styleName())
        , pointSize(font.pointSizeF())
        , pixelSize(font.pixelSize())
        , weight(font.weight())
        , style(int(font.style()))
        , stretch(font.stretch())
        , strategy(int(font.styleStrategy()))
        , hinting(int(font.hintingPreference()))
        , capitalization(int(font.capitalization()))
        , kerning(font.kerning())
        , letterSpacing(font.letterSpacing())
        , wordSpacing(font.wordSpacing())
    { }

    bool operator==(const FontIdentity &other) const
    {
        return pointSize == other.pointSize && pixelSize == other.pixelSize &&
                weight == other.weight && style == other.style && stretch == other.stretch &&
                strategy == other.strategy && hinting == other.hinting &&
                capitalization == other.capitalization && kerning == other.kerning &&
                letterSpacing == other.letterSpacing && wordSpacing == other.wordSpacing &&
                family == other.family && styleName == other.styleName;
    }
};

// What fitting a value needs of a font, measured once per font: asking the
// font engine for an advance loads the glyph again each time.
struct FontMeasures
{
    FontIdentity identity;
    int height = 0;
    // Room for kerning: half an average character.
    qreal kerningRoom = 0;
    std::array<qreal, 256> latin1Advance{};

    explicit FontMeasures(const QFont &font)
        : identity(font)
    { }
};

const FontMeasures &fontMeasures(const QFont &font)
{
    // The form uses a font or two; only the GUI thread fits labels.
    static std::vector<std::unique_ptr<FontMeasures>> measured;
    const FontIdentity identity(font);
    for (const auto &known : measured)
        if (known->identity == identity)
            return *known;
    auto measures = std::make_unique<FontMeasures>(font);
    const QFontMetricsF metrics(font);
    measures->height = QFontMetrics(font).height();
    measures->kerningRoom = metrics.averageCharWidth() / 2;
    for (int code = 0; code < 256; ++code)
        measures->latin1Advance[size_t(code)] = metrics.horizontalAdvance(QChar(code));
    measured.push_back(std::move(measures));
    return *measured.back();
}

bool fitsOnOneLine(const FontMeasures &measures, const QString &text, int width)
{
    qreal needed = measures.kerningRoom;
    for (const QChar character : text) {
        if (character.unicode() > 0xff || !character.isPrint())
            return false;
        needed += measures.latin1Advance[character.unicode()];
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

void scaleForm(QWidget *window)
{
    const qreal ratio = window->logicalDpiY() / 96.0;
    if (qFuzzyCompare(ratio, 1.0))
        return;
    const auto scaled = [ratio](const QRect &rect) {
        return QRect(qRound(rect.x() * ratio), qRound(rect.y() * ratio),
                     qRound(rect.width() * ratio), qRound(rect.height() * ratio));
    };
    // Only what the form placed itself: a widget in a layout, a window of its
    // own, or a part of a Qt widget (named "qt_..."), is placed by its parent.
    for (QWidget *widget : window->findChildren<QWidget *>()) {
        const QWidget *parent = widget->parentWidget();
        if (widget->isWindow() || !parent || parent->layout() || widget->objectName().isEmpty() ||
            widget->objectName().startsWith(QLatin1String("qt_")))
            continue;
        widget->setGeometry(scaled(widget->geometry()));
    }
    window->resize(scaled(window->geometry()).size());
}

void skipGlIntegration()
{
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");
}

bool freesHiddenWindows()
{
    return true;
}

QIcon formIcon(const QString &file, const QIcon &asLoaded)
{
    constexpr int largest = 128;
    QImageReader reader(file);
    QIcon icon;
    for (int index = 0; index < qMax(1, reader.imageCount()); ++index) {
        if (index > 0 && !reader.jumpToImage(index))
            break;
        const QSize size = reader.size();
        if (size.isValid() && qMax(size.width(), size.height()) > largest)
            continue;
        const QImage image = reader.read();
        if (!image.isNull())
            icon.addPixmap(QPixmap::fromImage(image));
    }
    if (!icon.isNull())
        return icon;
    return asLoaded.isNull() ? QIcon(file) : asLoaded;
}

void nameAfterMenuEntry()
{
    // The menu entry's file name without ".desktop": Wayland's app id, and
    // what GNOME and KDE look for to match a window to its entry.
    QGuiApplication::setDesktopFileName(QStringLiteral(VOLTRINE_APP_ID));
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

QString execValue(const QString &program)
{
    // Quoted as an Exec argument: a backslash, quote, backquote or dollar
    // sign escaped, and a percent sign doubled (not a field code).
    QString quoted = program;
    quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
            .replace(QLatin1Char('"'), QStringLiteral("\\\""))
            .replace(QLatin1Char('`'), QStringLiteral("\\`"))
            .replace(QLatin1Char('$'), QStringLiteral("\\$"))
            .replace(QLatin1Char('%'), QStringLiteral("%%"));
    // Then the value is a string of the entry, read with the string escapes
    // first: each backslash once more, and what ends a line.
    quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
            .replace(QLatin1Char('\n'), QStringLiteral("\\n"))
            .replace(QLatin1Char('\t'), QStringLiteral("\\t"))
            .replace(QLatin1Char('\r'), QStringLiteral("\\r"));
    return QLatin1Char('"') + quoted + QStringLiteral("\" ") + desktopOption;
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
            execValue(QCoreApplication::applicationFilePath()).toUtf8() +
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

bool machineNumberAvailable()
{
    return true;
}

void clearTimePlaceholders(const QList<QLabel *> &labels)
{
    for (QLabel *label : labels)
        label->clear();
}

bool marksSilentValues()
{
    return true;
}

void setFittedText(QLabel *label, const QString &text)
{
    const QRect room = label->contentsRect();
    const FontMeasures &measures = fontMeasures(label->font());
    QString shown = text;
    if (room.height() >= measures.height && fitsOnOneLine(measures, text, room.width())) {
        // Shown whole, without laying the text out.
    } else if (label->wordWrap()) {
        const QFontMetrics metrics(label->font());
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
        shown = QFontMetrics(label->font()).elidedText(text, Qt::ElideRight, room.width());
    }
    label->setText(shown);
    // A tooltip that looks like markup is shown as markup: such a value is
    // turned into markup that shows it as it is, like its plain-text label.
    const QString tip = Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text) : text;
    label->setToolTip(shown == text ? QString() : tip);
}

} // namespace DesktopIntegration
