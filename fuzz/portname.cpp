// The serial port name that the UPS Configuration tab stores and hands to the
// apcupsd.conf writer. A name that the writer accepts must never add a line, a
// NUL or a control character to the file: it stays on the DEVICE line, and the
// other lines are the fixed ones.
//
// The first input byte chooses the machine (Linux or Windows: line end and
// device prefix), the 8-bit encoding the file is written in, and whether the
// rest is the name in UTF-8 or as raw UTF-16 code units (lone surrogates too).

#include "apcupsdconf.h"
#include "fuzzsupport.h"

#include <QTextCodec>

namespace {

// The machine's 8-bit encodings the file may be written in.
const char *const encodings[] = {"UTF-8", "ISO-8859-1", "Windows-1252"};

bool isControlByte(char byte)
{
    const auto value = uchar(byte);
    return value < 0x20 || value == 0x7f;
}

bool isLineBreaking(QChar c)
{
    return c.category() == QChar::Other_Control || c.category() == QChar::Separator_Line ||
            c.category() == QChar::Separator_Paragraph;
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
    const uchar choice = data[0];
    // A copy, aligned for the code units.
    const QByteArray name(reinterpret_cast<const char *>(data + 1), int(size - 1));
    const QString port = choice & 1
            ? QString(reinterpret_cast<const QChar *>(name.constData()), name.size() / 2)
            : QString::fromUtf8(name);
    if (!isAcceptablePortName(port))
        return 0;

    const InstallationProfile profile =
            choice & 2 ? InstallationProfile::windows() : InstallationProfile::linuxStandIn();
    QTextCodec *codec = QTextCodec::codecForName(encodings[(choice >> 2) % 3]);
    QTextCodec::setCodecForLocale(codec);

    const QByteArray text = apcupsdConfText(profile, UpsConnection::Serial, port);
    const QByteArray usb = apcupsdConfText(profile, UpsConnection::Usb);
    const QByteArray lineEnd = profile.configLineEnd.toLatin1();
    const QString detail =
            QStringLiteral("port %1 written in %2: %3")
                    .arg(Fuzz::hex(port.toUtf8()), QLatin1String(codec->name()), Fuzz::hex(text));

    Fuzz::require(text.count('\n') == usb.count('\n') && text.count('\r') == usb.count('\r'),
                  "the name adds no line", detail);
    Fuzz::require(!text.contains('\0'), "the name adds no NUL", detail);
    QByteArray withoutLineEnds = text;
    withoutLineEnds.replace(lineEnd, QByteArray());
    for (const char byte : qAsConst(withoutLineEnds))
        Fuzz::require(!isControlByte(byte), "the name adds no control byte", detail);
    const QString decoded = codec->toUnicode(withoutLineEnds);
    for (const QChar c : decoded)
        Fuzz::require(!isLineBreaking(c), "the name adds no control character", detail);

    // Line for line, the file is the one written for any plain name, except on
    // the DEVICE line.
    const QList<QByteArray> lines = text.split('\n');
    const QList<QByteArray> plain =
            apcupsdConfText(profile, UpsConnection::Serial, QStringLiteral("ttyS0")).split('\n');
    Fuzz::require(lines.size() == plain.size(), "the file keeps its lines", detail);
    for (int i = 0; i < lines.size(); ++i) {
        if (plain.at(i).startsWith("DEVICE "))
            Fuzz::require(lines.at(i).startsWith("DEVICE "), "the name stays on the DEVICE line",
                          detail);
        else
            Fuzz::require(lines.at(i) == plain.at(i), "the other lines stay as they are", detail);
    }
    return 0;
}
