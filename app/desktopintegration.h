#pragma once

#include <QString>
#include <QStringList>

class QLabel;

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

// Sets text on a value label. Linux: a text wider than the label is elided
// and the whole text is the label's tooltip (as markup that shows it as it
// is, when it would otherwise be taken for markup). Windows: the text as it is.
void setFittedText(QLabel *label, const QString &text);

} // namespace DesktopIntegration
