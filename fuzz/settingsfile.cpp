// The settings file as a person may leave it: any bytes. Properties:
//   - load, save, load again and save again give the same stored lines both
//     times (a load that kept no line at all is saved as a new file, with its
//     header, which the second load gives), and after the first save the same
//     bytes; the second load rejects nothing: the first save drops what the
//     first load rejected;
//   - a value that the loadability check admits comes back through setKey(),
//     save() and a new load, whatever the file held before, and every other
//     stored line stays as it was; a new key, which setKey() appends to the
//     file at once, comes back from a new load even without a save.
//
// Input: one byte of choices (bit 0: the value is stored encoded; bit 1: the
// key is one of the program's keys, chosen by the higher bits, instead of the
// first line), the key line, the value line, then the file's bytes.

#include "fuzzsupport.h"
#include "logs.h"
#include "registry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <iterator>
#include <memory>

namespace {

const char *const programKeys[] = {
        "startminimised", "upshost", "upsport",   "upscontype", "uspcomport", "dbhost",
        "dbport",         "dbname",  "dbvdriver", "dbuser",     "dbpasswd",   "dblogtime",
};

struct Workspace
{
    std::unique_ptr<QTemporaryDir> dir;
    QString confdata;
    QString trace;
    std::unique_ptr<Logs> logs;
};

Workspace &workspace()
{
    static Workspace space;
    if (!space.logs) {
        // In memory where the machine has a folder there: every save syncs the
        // file to disk, which would otherwise take most of the time.
        const QFileInfo memory(QStringLiteral("/dev/shm"));
        space.dir = memory.isDir() && memory.isWritable()
                ? std::make_unique<QTemporaryDir>(
                          QStringLiteral("/dev/shm/voltrine-confdata-XXXXXX"))
                : std::make_unique<QTemporaryDir>();
        Fuzz::require(space.dir->isValid(), "a temporary folder exists");
        space.confdata = space.dir->filePath(QStringLiteral("confdata"));
        space.trace = space.dir->filePath(QStringLiteral("Trace.log"));
        space.logs = std::make_unique<Logs>(space.trace);
    }
    return space;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    Fuzz::require(file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                          file.write(bytes) == bytes.size(),
                  "the test file is written", file.errorString());
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    Fuzz::require(file.open(QIODevice::ReadOnly), "the settings file is readable",
                  file.errorString());
    return file.readAll();
}

QString linesOf(const QStringList &lines)
{
    return lines.join(QStringLiteral(" | "));
}

void checkRoundTrip(Workspace &space, const QByteArray &bytes)
{
    writeFile(space.confdata, bytes);
    QStringList firstLines;
    {
        Registry registry(space.logs.get(), space.confdata);
        firstLines = registry.storedLines();
        Fuzz::require(registry.save(), "the first save succeeds");
    }
    const QByteArray firstSave = readFile(space.confdata);
    Registry again(space.logs.get(), space.confdata);
    const QString detail = QStringLiteral("file %1\nfirst save %2\nfirst lines %3\nthen %4")
                                   .arg(Fuzz::hex(bytes), Fuzz::hex(firstSave), linesOf(firstLines),
                                        linesOf(again.storedLines()));
    const QStringList newFile{QStringLiteral("Voltrine:Configuration"),
                              QStringLiteral("Version:1.1")};
    Fuzz::require(again.storedLines() == (firstLines.isEmpty() ? newFile : firstLines),
                  "a saved file loads the same lines", detail);
    Fuzz::require(!again.loadFailed(), "a saved file loads without a rejected line", detail);
    Fuzz::require(again.save(), "the second save succeeds");
    Fuzz::require(readFile(space.confdata) == firstSave, "a second save writes the same bytes",
                  detail + QStringLiteral("\nsecond save ") + Fuzz::hex(readFile(space.confdata)));
}

bool holdsKey(const QStringList &lines, const QString &key)
{
    const QString needle = key.toUpper() + QLatin1Char(':');
    for (const QString &line : lines) {
        if (line.startsWith(needle))
            return true;
    }
    return false;
}

void checkSetKey(Workspace &space, const QByteArray &bytes, const QString &key,
                 const QString &value, bool encode)
{
    if (!Registry::isLoadable(key, value, encode))
        return;
    writeFile(space.confdata, bytes);
    const QString detail = QStringLiteral("file %1\nkey [%2] value [%3] encoded %4")
                                   .arg(Fuzz::hex(bytes), key, value)
                                   .arg(encode);
    QStringList expected;
    {
        Registry registry(space.logs.get(), space.confdata);
        const bool isNew = !holdsKey(registry.storedLines(), key);
        Fuzz::require(registry.setKey(key, value, encode), "setKey stores a loadable value",
                      detail);
        Fuzz::require(registry.getKey(key, encode) == value, "setKey's value is read back", detail);
        expected = registry.storedLines();
        if (isNew) {
            Registry appended(space.logs.get(), space.confdata);
            Fuzz::require(appended.getKey(key, encode) == value,
                          "a new key comes back from the file without a save",
                          detail + QStringLiteral("\nloaded ") + linesOf(appended.storedLines()));
        }
        Fuzz::require(registry.save(), "the save succeeds", detail);
    }
    Registry reloaded(space.logs.get(), space.confdata);
    Fuzz::require(reloaded.getKey(key, encode) == value,
                  "a loadable value comes back after a save and a new load",
                  detail + QStringLiteral("\nloaded ") + linesOf(reloaded.storedLines()));
    Fuzz::require(reloaded.storedLines() == expected, "the other lines stay as they were",
                  detail + QStringLiteral("\nexpected ") + linesOf(expected) +
                          QStringLiteral("\nloaded ") + linesOf(reloaded.storedLines()));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::makeApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const uchar choices = data[0];
    const QByteArray input(reinterpret_cast<const char *>(data + 1), int(size - 1));
    const int keyEnd = input.indexOf('\n');
    const int valueEnd = keyEnd < 0 ? -1 : input.indexOf('\n', keyEnd + 1);
    if (valueEnd < 0)
        return 0;
    const QString key = choices & 2
            ? QLatin1String(programKeys[(choices >> 2) % std::size(programKeys)])
            : QString::fromUtf8(input.left(keyEnd));
    const QString value = QString::fromUtf8(input.mid(keyEnd + 1, valueEnd - keyEnd - 1));
    const QByteArray file = input.mid(valueEnd + 1);

    Workspace &space = workspace();
    // The trace is not examined; it must not fill the disk over a long run.
    QFile::resize(space.trace, 0);
    checkRoundTrip(space, file);
    checkSetKey(space, file, key, value, choices & 1);
    return 0;
}
