#include "messagebox.h"

namespace {
QMessageBox::StandardButton nextAnswer = QMessageBox::NoButton;
QString lastQuestionText;
} // namespace

namespace MessageBox {

QMessageBox::StandardButton question(QWidget *parent, const QString &title, const QString &text,
                                     QMessageBox::StandardButtons buttons,
                                     QMessageBox::StandardButton defaultButton)
{
    lastQuestionText = text;
    if (nextAnswer != QMessageBox::NoButton) {
        const QMessageBox::StandardButton answer = nextAnswer;
        nextAnswer = QMessageBox::NoButton;
        return answer;
    }
    return QMessageBox::question(parent, title, text, buttons, defaultButton);
}

void setNextAnswer(QMessageBox::StandardButton answer)
{
    nextAnswer = answer;
}

QString lastQuestion()
{
    return lastQuestionText;
}

void showNotice(const QString &text)
{
    auto *box = new QMessageBox;
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    box->setText(text);
    box->show();
}

} // namespace MessageBox
