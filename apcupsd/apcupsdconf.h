#pragma once

#include "installationprofile.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// The text of apcupsd.conf as the program writes it: always the whole file,
// never merged with what was there.

enum class UpsConnection {
    Usb,
    // An APC UPS speaking the smart protocol on a serial port.
    Serial,
};

// Who may ask apcupsd's network server for the UPS's status: the address on
// the file's NISIP line.
enum class NisAccess {
    // The address the file had where the profile keeps it (Linux), the
    // profile's own otherwise.
    Keep,
    // 127.0.0.1: this machine only.
    ThisMachine,
    // 0.0.0.0: every network of the machine.
    AnyNetwork,
};

// The address on the last NISIP line of an apcupsd.conf text; empty where
// there is none, or where it is not an IP address.
QString nisAddressOf(const QByteArray &confText);

// profile, with the NISIP address to write over a file that holds existing.
InstallationProfile withNisAddress(InstallationProfile profile, const QByteArray &existing,
                                   NisAccess nis);

// The lines of the file, without line ends: the 40 fixed lines with the
// profile's paths, the port on the DEVICE line of a serial UPS, then the
// profile's overrides.
QStringList apcupsdConfLines(const InstallationProfile &profile, UpsConnection connection,
                             const QString &portName = QString());

// The bytes of the file: the profile's header line when it has one, then
// each line, each followed by the profile's line end, in the platform's 8-bit
// encoding.
QByteArray apcupsdConfText(const InstallationProfile &profile, UpsConnection connection,
                           const QString &portName = QString());

// False when the port name holds a line break or another control character,
// which would end the DEVICE line early and put the rest of the name into the
// daemon's configuration as a directive of its own.
bool isAcceptablePortName(const QString &portName);

// Where the port names a device file (DEVICE /dev/<name>): a plain name of
// letters and digits, as the kernel's serial devices have (ttyS0, ttyUSB0,
// ttyACM0). The configuration page and the privileged helper share the rule.
bool isSerialDeviceName(const QString &portName);
