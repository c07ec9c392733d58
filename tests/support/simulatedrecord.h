#pragma once

#include "upssimulator.h"

#include <QLabel>
#include <QWidget>
#include <QtTest>

#include <functional>

// Changes the simulated UPS and waits until the window has shown a record
// carrying the change. DATE is read before every other key but "APC", so the
// labels after it come from that record or a newer one. marker numbers the
// records asked for.
inline void changeAndWaitForRecord(UpsSimulator &sim, const QWidget &window, int &marker,
                                   const std::function<void(UpsModel &)> &change)
{
    change(sim.model());
    const QString date = QStringLiteral("marker %1").arg(++marker);
    sim.model().setValue(QStringLiteral("DATE"), date);
    QTRY_COMPARE_WITH_TIMEOUT(window.findChild<QLabel *>(QStringLiteral("label_DATE"))->text(),
                              date, 30000);
}
