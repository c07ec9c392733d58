#pragma once

#include <QString>
#include <QStringList>

// Comma-separated values as RFC 4180 writes them, for spreadsheets: a field
// holding a comma, a double quote, a carriage return or a line feed is put in
// double quotes, with each double quote inside doubled; every other field is
// written as it is. Records end with CR LF.
namespace Csv {

QString field(const QString &value);
QString record(const QStringList &fields);

} // namespace Csv
