#pragma once

#include <QIcon>
#include <QList>
#include <QString>
#include <QStringList>

class QLabel;
class QWidget;

// What the program does as a Linux desktop program. On Windows every one of
// these keeps the designed behaviour: nothing changes.
namespace DesktopIntegration {

// Chooses the folder of confdata and Trace.log by making it the working
// directory; called before either is opened. Linux: started with "--desktop"
// (the menu and autostart entries), or from the home folder or "/" (where
// launchers stand), the folder is $XDG_DATA_HOME/Voltrine, by default
// ~/.local/share/Voltrine, created readable by its owner only. Otherwise the
// working directory stays, as designed. Returns the folder; empty when the
// folder could not be made, and the working directory stays.
QString chooseDataFolder(const QStringList &arguments);

// Linux: the font family of the form. The form was laid out for the Windows
// dialog font at 8 points; this is a font Debian ships with close metrics.
// Empty on Windows, where the platform's own font is kept.
QString formFontFamily();
// Makes formFontFamily() the application's font family, where there is one.
void useFormFont();

// Linux: the form's coordinates were laid out for fonts at 96 dpi. With
// larger (or smaller) fonts, every widget the form places by coordinates, and
// the window, are scaled by the ratio of the window's logical dpi to 96, so
// that captions keep their room. Nothing on Windows, whose own scaling the
// designed form follows.
void scaleForm(QWidget *window);

// Linux, before the application is made: the X platform loads no OpenGL
// integration (with it Mesa, and its compiler, tens of megabytes resident),
// since nothing is drawn with OpenGL; a QT_XCB_GL_INTEGRATION the user set
// is kept. Nothing on Windows.
void skipGlIntegration();

// Linux: a window hidden in the tray gives up its native window and the
// image it was painted into (on X, shared memory of the window's size, four
// times that at a scale of 2); both are made again when it is shown.
// Windows keeps them, as designed.
bool freesHiddenWindows();

// Linux: the icon of an icon file with only its images up to 128 pixels
// wide, enough for what a desktop shows of a window's icon at a scale of 2.
// Every image stays in memory as long as the icon does, and on X every one
// goes to the window's icon property: the 256 pixel image alone is 256 KiB.
// Windows: asLoaded (the form's icon), or the whole file, as designed.
QIcon formIcon(const QString &file, const QIcon &asLoaded = QIcon());

// Linux: names the program as its menu entry does, so that the desktop
// matches its windows to the entry and its icon. Nothing on Windows.
void nameAfterMenuEntry();

// Linux: the check box "Start with the desktop session" and the
// freedesktop autostart entry it writes or removes.
bool autostartAvailable();
QString autostartEntryPath();
bool autostartEnabled();
// Linux: the Exec value of a desktop entry that starts program with
// "--desktop", escaped as freedesktop.org desktop entries require.
QString execValue(const QString &program);
// Writes the entry (starting this program with "--desktop") or removes it.
// Returns false, with the reason in error, when that failed.
bool setAutostartEnabled(bool enabled, QString *error);

// Linux: the Database tab's "Machine number" field, which stores the
// per-user "MachineNumber" value that every row carries. On Windows that
// value is set in the registry, outside the program.
bool machineNumberAvailable();

// Linux: empties the labels that stand for a time not yet received, which
// the form fills with the time's format ("yyyy-MM-dd hh:mm:ss +hh"), a text
// that reads like a value. Windows keeps the form's text.
void clearTimePlaceholders(const QList<QLabel *> &labels);

// Linux: the window says in the strip under its menu bar since when apcupsd
// has not answered, so that its last values are not taken for current ones.
// Windows: the tray says it, as designed.
bool marksSilentValues();

// Sets text on a value label. Linux: a text wider than the label is elided
// and the whole text is the label's tooltip (as markup that shows it as it
// is, when it would otherwise be taken for markup). Windows: the text as it is.
void setFittedText(QLabel *label, const QString &text);

} // namespace DesktopIntegration
