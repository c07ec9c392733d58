#include "registry.h"

#include "logs.h"

#include <QByteArray>
#include <QMutex>
#include <QMutexLocker>
#include <QRegExp>
#include <QSaveFile>
#include <QTextCodec>

#include <exception>

namespace {

const auto magicLine = QStringLiteral("Voltrine:Configuration");
const auto versionLine = QStringLiteral("Version:1.1");

// Each pattern sees a line with its blanks removed and its letters in capitals.
// The first four are the original file grammar; the others admit the values the
// configuration page stores: host and database names with dots, dashes and
// underscores, IPv6 addresses in brackets, and as the database host a list of
// hosts, each a name or an address and optionally ":" and a port
// ("db1,db2:3307,db3"), which nothing else reads.
const QStringList &linePatterns()
{
    static const QStringList patterns{
            QStringLiteral("^[A-Z0-9]+[/:]([A-Za-z]+)$"),
            QStringLiteral("^[A-Z0-9]+[/:]([0-9A-Za-z]+)$"),
            QStringLiteral("^[A-Z0-9]+[/:]([0-9]+[.][0-9]+)$"),
            QStringLiteral("^[A-Z0-9]+[/:]([0-9]+[.][0-9]+[.][0-9]+[.][0-9]+)$"),
            QStringLiteral(
                    "^[A-Z0-9]+[/:]([0-9A-Z_]+(-+[0-9A-Z_]+)*([.][0-9A-Z_]+(-+[0-9A-Z_]+)*)*)$"),
            QStringLiteral("^[A-Z0-9]+[/:](\\[[0-9A-F]*(:[0-9A-F.]*)+\\])$"),
            QStringLiteral("^DBHOST[/:]%1(,%1)*$")
                    .arg(QStringLiteral("([0-9A-Z_]+(-+[0-9A-Z_]+)*([.][0-9A-Z_]+(-+[0-9A-Z_]+)*)*"
                                        "|\\[[0-9A-F]*(:[0-9A-F.]*)+\\])(:[0-9]+)?")),
    };
    return patterns;
}

QString needleOf(const QString &key)
{
    return key.toUpper() + QLatin1Char(':');
}

// The file is read and written in UTF-8 on every machine, whatever the locale,
// and a byte-order mark never makes the load take it for another encoding than
// the one the next save or append writes: a file once saved keeps its bytes,
// and a line appended to it reads back. (A leading UTF-8 mark is skipped.)
QTextCodec *fileCodec()
{
    static QTextCodec *const codec = QTextCodec::codecForName("UTF-8");
    return codec;
}

// The lines of the file's bytes, read in text mode (without carriage returns):
// the text split at its line breaks, a last line without one included.
QStringList linesOfFile(const QByteArray &bytes)
{
    QStringList lines = fileCodec()->toUnicode(bytes).split(QLatin1Char('\n'));
    if (lines.constLast().isEmpty())
        lines.removeLast();
    return lines;
}

// Writes each line followed by a line break to a device opened unbuffered, so
// that the result of write() is final. A short write (a full disk, a size
// limit) counts as a failure: QTextStream would silently drop the rest.
bool writeLines(QFileDevice &file, const QStringList &lines)
{
    QString text;
    for (const QString &line : lines)
        text += line + QLatin1Char('\n');
    const QByteArray bytes = fileCodec()->fromUnicode(text);
    return file.write(bytes) == bytes.size();
}

QString writeErrorOf(const QFileDevice &file)
{
    return file.error() != QFileDevice::NoError ? file.errorString()
                                                : QStringLiteral("not all bytes were written");
}

// confdata holds the database password: only its owner may read it.
void restrictToOwner(QFileDevice &file)
{
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

} // namespace

Registry *Registry::instance()
{
    static Registry *theInstance = nullptr;
    static QMutex creationMutex;
    if (!theInstance) {
        QMutexLocker locker(&creationMutex);
        if (!theInstance)
            theInstance = new Registry(Logs::instance());
    }
    return theInstance;
}

Registry::Registry(Logs *logsInstance, const QString &fileName)
    : QThread(nullptr)
    , configfile(fileName)
    , logs(logsInstance)
{
    reload();
}

Registry::~Registry() = default;

void Registry::reload()
{
    loadError = false;
    try {
        load();
    } catch (const std::exception &e) {
        logs->trace(QStringLiteral("Configuration exception: ") + QString::fromLocal8Bit(e.what()));
        loadError = true;
        emit regstatuserror(true);
    }
}

bool Registry::isAcceptedLine(const QString &line)
{
    QString candidate = line;
    candidate.remove(QLatin1Char(' '));
    candidate = candidate.toUpper();
    for (const QString &pattern : linePatterns()) {
        if (QRegExp(pattern).exactMatch(candidate))
            return true;
    }
    return false;
}

bool Registry::isLoadable(const QString &key, const QString &value, bool encode)
{
    QString stored = value;
    if (encode) {
        // Encoded as Latin-1 bytes: any other character would come back as "?".
        if (value.isEmpty() || QString::fromLatin1(value.toLatin1()) != value)
            return false;
        stored = QString::fromLatin1(value.toLatin1().toHex());
    }
    // The load removes blanks, so a line holding one, in its value or its key,
    // would come back changed; so would a character that the file's encoding
    // cannot hold.
    const QString line = needleOf(key) + stored;
    return !line.contains(QLatin1Char(' ')) &&
            fileCodec()->toUnicode(fileCodec()->fromUnicode(line)) == line && isAcceptedLine(line);
}

void Registry::writeHeaderIfEmpty()
{
    if (configfile.exists() && configfile.size() > 0)
        return;
    // A failure here is not reported: the read below reports it.
    if (configfile.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
        restrictToOwner(configfile);
        writeLines(configfile, {magicLine, versionLine});
        configfile.close();
    }
}

void Registry::load()
{
    logs->trace(QStringLiteral("Loading configuration"));
    lines.clear();

    writeHeaderIfEmpty();

    if (!configfile.open(QIODevice::ReadOnly | QIODevice::Text)) {
        logs->trace(QStringLiteral("Configuration: Can not read file"));
        loadError = true;
        emit regstatuserror(true);
        return;
    }
    const QStringList fileLines = linesOfFile(configfile.readAll());
    configfile.close();
    if (fileLines.isEmpty()) {
        logs->trace(QStringLiteral("Configuration: Empty"));
        loadError = true;
        emit regstatuserror(true);
        return;
    }

    // A rejected line is reported and skipped; the lines after it still load,
    // so that their keys are found and no owner appends its default again.
    int lineNumber = 0;
    bool rejected = false;
    for (QString stored : fileLines) {
        ++lineNumber;
        stored.remove(QLatin1Char(' '));
        if (isAcceptedLine(stored)) {
            lines.append(stored);
            continue;
        }
        logs->trace(QStringLiteral("Configuration: Syntax Error. Line:") +
                    QString::number(lineNumber) + QStringLiteral(" > ") + stored);
        rejected = true;
    }
    loadError = rejected;
    emit regstatuserror(rejected);
}

int Registry::indexOfKey(const QString &key) const
{
    const QString needle = needleOf(key);
    for (int i = 0; i < lines.size(); ++i) {
        if (lines.at(i).startsWith(needle, Qt::CaseSensitive))
            return i;
    }
    return -1;
}

QString Registry::getKey(const QString &key, bool decode) const
{
    try {
        const int index = indexOfKey(key);
        if (index < 0) {
            logs->trace(QStringLiteral("Can not Found Configuration key:") + key);
            return QString();
        }
        const QString value = lines.at(index).mid(needleOf(key).size());
        if (decode)
            return QString::fromLatin1(QByteArray::fromHex(value.toLatin1()));
        return value;
    } catch (const std::exception &e) {
        logs->trace(QStringLiteral("Can not Found Configuration key:") +
                    QString::fromLocal8Bit(e.what()));
        return QString();
    }
}

bool Registry::setKey(const QString &key, const QString &value, bool encode)
{
    try {
        const QString stored = encode ? QString::fromLatin1(value.toLatin1().toHex()) : value;
        const QString line = needleOf(key) + stored;
        // The hex of an encoded value is the value: the trace never holds it.
        const QString traced = encode ? QStringLiteral("********") : stored;
        const QString tracedLine = needleOf(key) + traced;

        const int index = indexOfKey(key);
        if (index >= 0) {
            lines[index] = line;
            logs->trace(QStringLiteral("Configuration key ") + key +
                        QStringLiteral(" updated as:") + traced);
            return true;
        }

        const bool existed = configfile.exists();
        if (!configfile.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Text |
                             QIODevice::Unbuffered)) {
            logs->trace(QStringLiteral("Can not Configuration Registry key:") + tracedLine);
            return false;
        }
        if (!existed)
            restrictToOwner(configfile);
        const qint64 sizeBefore = configfile.size();
        // A last line without its line break (as some editors leave it) is
        // ended first, or the new line would be joined to it.
        QStringList appended{line};
        if (sizeBefore > 0 && configfile.seek(sizeBefore - 1) && configfile.read(1) != "\n")
            appended.prepend(QString());
        if (!writeLines(configfile, appended)) {
            // A line cut short would stop the next load: take it back out.
            configfile.resize(sizeBefore);
            configfile.close();
            logs->trace(QStringLiteral("Can not Configuration Registry key:") + tracedLine);
            return false;
        }
        configfile.close();
        lines.append(line);
        logs->trace(QStringLiteral("New Configuration key Created as:") + tracedLine);
        return true;
    } catch (const std::exception &e) {
        logs->trace(QString::fromLocal8Bit(e.what()));
        return false;
    }
}

bool Registry::save()
{
    try {
        // Written to a temporary file and renamed over confdata on commit, so a
        // crash in the middle of a save leaves the old file whole. Where only
        // the file itself is writable, it is written in place.
        QSaveFile file(configfile.fileName());
        file.setDirectWriteFallback(true);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::Unbuffered)) {
            logs->trace(QStringLiteral("Can not open Configuration file"));
            return false;
        }
        restrictToOwner(file);
        // A file whose every line was rejected is begun anew, as a missing
        // one is, rather than left empty for the next load to begin.
        if (!writeLines(file, lines.isEmpty() ? QStringList{magicLine, versionLine} : lines)) {
            const QString detail = writeErrorOf(file);
            file.cancelWriting();
            logs->trace(QStringLiteral("Can not write Configuration file :") + detail);
            return false;
        }
        if (!file.commit()) {
            logs->trace(QStringLiteral("Can not write Configuration file :") + file.errorString());
            return false;
        }
        logs->trace(QStringLiteral("Configuration file saved"));
        return true;
    } catch (const std::exception &e) {
        logs->trace(QStringLiteral("Can not write Configuration file :") +
                    QString::fromLocal8Bit(e.what()));
        return false;
    }
}
