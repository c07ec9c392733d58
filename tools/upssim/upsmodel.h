#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QPair>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

// The UPS that the simulator plays: its state, the status values derived from
// it, and the event lines a daemon writes about it. Values that run with time
// (battery charge, time left, time on battery) are computed when asked for.
class UpsModel final
{
public:
    using Lines = QVector<QPair<QString, QString>>;

    // The STATFLAG bits that apcupsd uses; a real apcupsd reading this UPS as
    // its master sees the same state.
    enum Flag : quint32 {
        OnLine = 0x08,
        OnBattery = 0x10,
        BatteryLow = 0x40,
        CommunicationLost = 0x100,
        Plugged = 0x01000000,
        BatteryPresent = 0x04000000,
    };

    UpsModel();

    void powerFail();
    void powerBack();
    // On battery with the battery low (on battery first when on mains).
    void lowBattery();
    void communicationLost();
    void communicationRestored();
    void selfTestStarted();
    void selfTestEnded();

    bool onBattery() const { return battery; }
    bool batteryLow() const { return low; }
    bool communicationIsLost() const { return commLost; }
    bool selfTestRunning() const { return selfTest; }

    // Shows value for key instead of the computed one (a key the UPS does not
    // normally report is added before "END APC").
    void setValue(const QString &key, const QString &value);
    // Leaves key out of the status reply.
    void removeValue(const QString &key);
    // Undoes setValue() and removeValue() for key.
    void resetValue(const QString &key);
    // Forgets every setValue() and removeValue().
    void clearValues();

    // Appends "date  text", as the daemon writes its events.
    void addEvent(const QString &text);
    // Appends line as it is, without a date (an empty line, a broken one).
    void addRawEventLine(const QString &line);

    quint32 statusFlags() const;
    // The STATUS value as apcupsd builds it: each word followed by a blank.
    QString statusWord() const;
    // The status lines in apcupsd's order, "APC" first and "END APC" last.
    Lines statusLines() const;
    // Every event line, oldest first, as "date  text".
    QStringList eventLines() const;

    // apcupsd's date format: "2016-02-29 10:00:00 +0100" (the daemon follows
    // it with two blanks in status values).
    static QString formatDate(const QDateTime &time);
    // One status line as apcupsd writes it: the key padded to nine characters,
    // ": ", the value and a newline.
    static QByteArray formatLine(const QString &key, const QString &value);

private:
    double batteryCharge(const QDateTime &now) const;
    void snapshotCharge(const QDateTime &now);
    void transferToBattery(const QString &reason);
    void transferToMains();

    QDateTime startTime;
    bool battery = false;
    bool low = false;
    bool commLost = false;
    bool selfTest = false;
    QString selfTestResult = QStringLiteral("NO");
    QString lastTransfer = QStringLiteral("No transfers since turnon");
    int transfers = 0;
    QDateTime onBatterySince;
    QDateTime lastOnBattery;
    QDateTime lastOffBattery;
    qint64 cumulativeSeconds = 0;
    double chargeAtChange = 100.0;
    QDateTime chargeChangedAt;
    QMap<QString, QString> overrides;
    QSet<QString> removed;
    QStringList events;
};
