#pragma once

#include "installationprofile.h"

#include <QString>

class Logs;

// Runs apcupsd's test tool at toolPath, picks "2)  Perform self-test" from its
// menu when it offers it, waits for the report, quits the tool and returns
// the result text: "Selftest Success", "Selftest Did not complete",
// "Selftest Exception" (neither word in the report), "Selftest Error" (the
// test was not announced) or "Selftest not available Exit". The daemon must
// not hold the UPS meanwhile. Every step is traced.
QString runApctestDialogue(const QString &toolPath, const ControlWaits &waits, Logs &logs);

// The result text for what the tool printed after announcing the test.
QString selfTestResult(const QString &report);
