#pragma once

#include <QStringList>

// The status keys the window shows, in the order in which it writes its labels.
inline const QStringList &shownStatusKeys()
{
    static const QStringList keys{
            QStringLiteral("APC"),       QStringLiteral("DATE"),     QStringLiteral("HOSTNAME"),
            QStringLiteral("VERSION"),   QStringLiteral("UPSNAME"),  QStringLiteral("CABLE"),
            QStringLiteral("DRIVER"),    QStringLiteral("UPSMODE"),  QStringLiteral("STARTTIME"),
            QStringLiteral("MODEL"),     QStringLiteral("STATUS"),   QStringLiteral("LINEV"),
            QStringLiteral("LOADPCT"),   QStringLiteral("BCHARGE"),  QStringLiteral("TIMELEFT"),
            QStringLiteral("MBATTCHG"),  QStringLiteral("MINTIMEL"), QStringLiteral("MAXTIME"),
            QStringLiteral("SENSE"),     QStringLiteral("LOTRANS"),  QStringLiteral("HITRANS"),
            QStringLiteral("ALARMDEL"),  QStringLiteral("BATTV"),    QStringLiteral("LASTXFER"),
            QStringLiteral("NUMXFERS"),  QStringLiteral("XONBATT"),  QStringLiteral("TONBATT"),
            QStringLiteral("CUMONBATT"), QStringLiteral("XOFFBATT"), QStringLiteral("SELFTEST"),
            QStringLiteral("STATFLAG"),  QStringLiteral("SERIALNO"), QStringLiteral("BATTDATE"),
            QStringLiteral("NOMINV"),    QStringLiteral("NOMBATTV"), QStringLiteral("NOMPOWER"),
            QStringLiteral("FIRMWARE"),  QStringLiteral("END APC"),
    };
    return keys;
}
