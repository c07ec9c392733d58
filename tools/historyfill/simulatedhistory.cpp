#include "simulatedhistory.h"

#include "journal.h"

#include <QDateTime>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace {

constexpr qint64 minuteMs = 60000;
constexpr double dayMs = 24.0 * 3600 * 1000;
constexpr double pi = 3.14159265358979323846;
// Battery percent lost per minute on battery, won back per minute on mains.
constexpr double drainPerMinute = 4;
constexpr double chargePerMinute = 1;

// apcupsd's way of writing a time: local time and UTC offset.
QString daemonTime(qint64 ms)
{
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(ms);
    const int offset = local.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return local.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss ")) +
            (offset < 0 ? QLatin1Char('-') : QLatin1Char('+')) +
            QStringLiteral("%1%2")
                    .arg(minutes / 60, 2, 10, QLatin1Char('0'))
                    .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QString fixed(double value, const char *unit)
{
    return QString::number(value, 'f', 1) + QLatin1Char(' ') + QLatin1String(unit);
}

} // namespace

bool SimulatedHistory::write(const QString &path, QString *errorText,
                             const std::function<void(qint64)> &progress) const
{
    Journal journal(path, QStringLiteral("simulated-history"));
    {
        if (!journal.open(Journal::Mode::Background, errorText))
            return false;

        const double span = double(toMs - fromMs);
        const qint64 outageMs = qint64(outageMinutes) * minuteMs;
        auto outageStart = [&](int i) {
            return fromMs + qint64((i + 0.5) * span / std::max(1, outages));
        };
        const QString started = daemonTime(fromMs - 3 * 24 * 3600 * 1000LL);
        int next = 0;      // the next outage to begin
        int returned = -1; // the last outage whose end was written
        bool failed = false;
        int transfers = 0;
        qint64 onBatterySeconds = 0;
        QString lastOnBattery = QStringLiteral("N/A");
        QString lastOnMains = QStringLiteral("N/A");
        auto event = [&](qint64 ms, const char *text) {
            const QStringList values{QStringLiteral("Back-UPS XS 700U"),
                                     daemonTime(ms) + QStringLiteral("  ") + QLatin1String(text),
                                     started,
                                     daemonTime(ms),
                                     daemonTime(ms),
                                     QStringLiteral("1"),
                                     QStringLiteral("1.0.0a.2")};
            failed = failed || !journal.appendEvent(values, Journal::State::LocalOnly, ms);
        };

        for (qint64 k = 0; k < rows && !failed; ++k) {
            const qint64 t = fromMs + qint64(span * double(k) / double(rows));
            // Events of the failures that began or ended since the last row.
            while (next < outages && outageStart(next) <= t) {
                const qint64 start = outageStart(next);
                event(start, "Power failure.");
                event(start + 2000, "Running on UPS batteries.");
                ++transfers;
                lastOnBattery = daemonTime(start);
                ++next;
            }
            const int current = next - 1;
            const qint64 start = current >= 0 ? outageStart(current) : 0;
            const bool onBattery = current >= 0 && t < start + outageMs;
            if (current >= 0 && !onBattery && returned < current) {
                event(start + outageMs, "Mains returned. No longer on UPS batteries.");
                event(start + outageMs + 1000, "Power is back. UPS running on mains.");
                returned = current;
                lastOnMains = daemonTime(start + outageMs);
                onBatterySeconds += outageMs / 1000;
            }

            double charge = 100;
            if (onBattery) {
                charge = 100 - drainPerMinute * double(t - start) / minuteMs;
            } else if (current >= 0) {
                charge = 100 - drainPerMinute * outageMinutes +
                        chargePerMinute * double(t - start - outageMs) / minuteMs;
            }
            charge = std::clamp(charge, 5.0, 100.0);
            const double phase = 2 * pi * double(t) / dayMs;
            const double wobble = double((k * 7919) % 5 - 2) * 0.5;
            const double line = onBattery ? 0 : std::round(229 + 3 * std::sin(phase) + wobble);
            const double load = std::round(10 * (20 + 8 * std::sin(phase - 1) + wobble / 2)) / 10;
            const double runtime = std::round(600 * charge / 100 * 20 / load) / 10;
            const QString now = daemonTime(t);
            const QStringList values{
                    onBattery ? QStringLiteral("ONBATT") : QStringLiteral("ONLINE"),
                    QStringLiteral("230 Volts"),
                    fixed(line, "Volts"),
                    QStringLiteral("12.0 Volts"),
                    fixed(onBattery ? 12.4 : 13.5, "Volts"),
                    QStringLiteral("865 Watts"),
                    fixed(load, "Percent"),
                    QStringLiteral("2023-05-04"),
                    onBattery ? QStringLiteral("0x05060010") : QStringLiteral("0x05000008"),
                    QString::number(transfers),
                    lastOnBattery,
                    lastOnMains,
                    transfers ? QStringLiteral("Low line voltage")
                              : QStringLiteral("No transfers since turnon"),
                    fixed(charge, "Percent"),
                    onBattery ? QString::number((t - start) / 1000) + QStringLiteral(" Seconds")
                              : QStringLiteral("0 Seconds"),
                    QString::number(onBatterySeconds) + QStringLiteral(" Seconds"),
                    QStringLiteral("NO"),
                    started,
                    now,
                    QStringLiteral("1"),
                    now,
                    QStringLiteral("1.0.0a.2")};
            failed = !journal.appendMeasurement(values, fixed(runtime, "Minutes"),
                                                Journal::State::LocalOnly, t);
            if (progress && (k + 1) % 10000 == 0)
                progress(k + 1);
        }
        if (failed) {
            *errorText = journal.lastError();
            return false;
        }
    }
    return true;
}
