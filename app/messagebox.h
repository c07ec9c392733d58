#pragma once

#include <QMessageBox>
#include <QString>

// Modal questions go through here so that tests can answer them: a test sets
// the next answer and the box is not shown.
namespace MessageBox {

QMessageBox::StandardButton question(QWidget *parent, const QString &title, const QString &text,
                                     QMessageBox::StandardButtons buttons,
                                     QMessageBox::StandardButton defaultButton);

// The next question() returns this answer without showing a box.
void setNextAnswer(QMessageBox::StandardButton answer);
// The text of the last question asked, shown or answered in advance.
QString lastQuestion();

// Shows text in a modal box with OK and no parent, which nothing waits for:
// monitoring and the rows go on while it is open. The window's notice of a
// refused database connection.
void showNotice(const QString &text);

} // namespace MessageBox
