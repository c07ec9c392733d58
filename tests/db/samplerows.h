#pragma once

#include <QString>
#include <QStringList>

// The 22 values of a measurement row, each distinct and within its column.
inline QStringList sampleMeasurement(const QString &status = QStringLiteral("ONLINE"))
{
    return {status,
            QStringLiteral("230 Volts"),
            QStringLiteral("229.0 Volts"),
            QStringLiteral("12.0 Volts"),
            QStringLiteral("13.5 Volts"),
            QStringLiteral("865 Watts"),
            QStringLiteral("17.0 Percent"),
            QStringLiteral("2019-05-04"),
            QStringLiteral("0x05000008"),
            QStringLiteral("3"),
            QStringLiteral("2024-01-02 10:11:12 +0100"),
            QStringLiteral("2024-01-02 10:11:42 +0100"),
            QStringLiteral("Low line voltage"),
            QStringLiteral("100.0 Percent"),
            QStringLiteral("0 Seconds"),
            QStringLiteral("30 Seconds"),
            QStringLiteral("OK"),
            QStringLiteral("2024-01-01 08:00:00 +0100"),
            QStringLiteral("2024-01-02 10:12:00 +0100"),
            QStringLiteral("42"),
            QStringLiteral("2024-01-02 10:12:01 +0100"),
            QStringLiteral("1.0.0a.2")};
}

// The 7 values of an event row.
inline QStringList
sampleEvent(const QString &message,
            const QString &datetime = QStringLiteral("2024-01-02 10:12:01 +0100"))
{
    return {QStringLiteral("Back-UPS XS 700U"),
            message,
            QStringLiteral("2024-01-01 08:00:00 +0100"),
            QStringLiteral("2024-01-02 10:12:00 +0100"),
            datetime,
            QStringLiteral("42"),
            QStringLiteral("1.0.0a.2")};
}
