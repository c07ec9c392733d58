#pragma once

// What every fuzz target shares: the application object Qt needs, and a check
// that stops the run with the broken property named, so that libFuzzer keeps
// the input that broke it.

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

#include <cstdio>
#include <cstdlib>

namespace Fuzz {

// Created once, before the first input. Qt's messages (the trace log echoes
// every record) are dropped: they would drown libFuzzer's report.
inline void makeApplication()
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
}

[[noreturn]] inline void fail(const char *property, const QString &detail)
{
    std::fprintf(stderr, "\nProperty broken: %s\n%s\n", property, qUtf8Printable(detail));
    std::abort();
}

inline void require(bool holds, const char *property, const QString &detail = QString())
{
    if (!holds)
        fail(property, detail);
}

inline QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.left(200).toHex(' ')) +
            (bytes.size() > 200 ? QStringLiteral(" ...") : QString());
}

} // namespace Fuzz
