#pragma once

#include <QString>
#include <QtGlobal>

// The offscreen platform has no system tray, and Qt says so once per tray
// icon. Tests that make many windows drop that one message and pass every
// other one on to QtTest's own handler.
namespace OffscreenTray {

inline QtMessageHandler &previousHandler()
{
    static QtMessageHandler handler = nullptr;
    return handler;
}

inline void dropNoise(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.contains(QLatin1String("systemTrayWindowChanged")))
        return;
    previousHandler()(type, context, message);
}

// Call from initTestCase(), once QtTest has installed its handler.
inline void silence()
{
    previousHandler() = qInstallMessageHandler(dropNoise);
}

} // namespace OffscreenTray
