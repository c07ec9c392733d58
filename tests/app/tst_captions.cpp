// Every caption of both pages of the window fits its widget with the font the
// program uses: the form keeps the coordinates laid out for the Windows dialog
// font, so the font on Linux must be as narrow.
#include "desktopintegration.h"
#include "offscreentray.h"
#include "testfiles.h"
#include "windowsubsystems.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFontInfo>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTabBar>
#include <QTabWidget>
#include <QtTest>

#include <memory>

class TestCaptions : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    std::unique_ptr<WindowSubsystems> peers;
    std::unique_ptr<MainWindow> window;

    // The room a caption needs beside its text: the check box's indicator, the
    // button's frame and margins, as the style draws them.
    static QSize neededSize(QWidget *widget, const QString &text)
    {
        const QFontMetrics metrics(widget->font());
        const QSize textSize(metrics.horizontalAdvance(text), metrics.height());
        if (auto *button = qobject_cast<QAbstractButton *>(widget)) {
            QStyleOptionButton option;
            option.initFrom(button);
            option.text = text;
            const QStyle::ContentsType type = qobject_cast<QCheckBox *>(widget)
                    ? QStyle::CT_CheckBox
                    : qobject_cast<QRadioButton *>(widget) ? QStyle::CT_RadioButton
                                                           : QStyle::CT_PushButton;
            QSize size = textSize;
            if (type != QStyle::CT_PushButton) {
                const QStyle::PixelMetric indicator = type == QStyle::CT_CheckBox
                        ? QStyle::PM_IndicatorWidth
                        : QStyle::PM_ExclusiveIndicatorWidth;
                size.rwidth() += widget->style()->pixelMetric(indicator, &option, widget) +
                        widget->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, &option,
                                                     widget);
                return size;
            }
            // The text, its margins and the frame; not the style's minimum
            // width for buttons, which says nothing of a cut caption.
            const int frame =
                    widget->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, widget);
            const int margin =
                    widget->style()->pixelMetric(QStyle::PM_ButtonMargin, &option, widget);
            return size + QSize(2 * (margin + frame), 2 * frame);
        }
        return textSize;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(QDir::setCurrent(dir.path()));
        qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toLocal8Bit());
        OffscreenTray::silence();
        QVERIFY(writeFileBytes(dir.filePath(QStringLiteral("confdata")),
                               "Voltrine:Configuration\nVersion:1.1\nUPSHOST:127.0.0.1\n"
                               "UPSPORT:1\nSTARTMINIMISED:false\n"));
        DesktopIntegration::useFormFont();
        // The font the program asks for is installed and is the one used.
        QCOMPARE(QFontInfo(QApplication::font()).family(), DesktopIntegration::formFontFamily());
        peers = std::make_unique<WindowSubsystems>(dir.path());
        window = std::make_unique<MainWindow>(peers->subsystems());
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    void cleanupTestCase()
    {
        window.reset();
        peers.reset();
    }

    void captionFits_data()
    {
        QTest::addColumn<QString>("name");
        // Caption labels are "label" and "label_<number>"; the value labels,
        // named after their status keys, are elided instead.
        const QRegularExpression caption(QStringLiteral("\\Alabel(_\\d+)?\\z"));
        for (QWidget *widget : window->findChildren<QWidget *>()) {
            const QString name = widget->objectName();
            if (qobject_cast<QLabel *>(widget) ? caption.match(name).hasMatch() &&
                                !static_cast<QLabel *>(widget)->text().isEmpty()
                                               : qobject_cast<QAbstractButton *>(widget) &&
                                !static_cast<QAbstractButton *>(widget)->text().isEmpty() &&
                                !name.isEmpty())
                QTest::newRow(qPrintable(name)) << name;
            if (auto *tabs = qobject_cast<QTabWidget *>(widget)) {
                for (int i = 0; i < tabs->count(); ++i)
                    QTest::newRow(qPrintable(name + QLatin1Char('/') + tabs->tabText(i)))
                            << name + QLatin1Char('/') + QString::number(i);
            }
        }
    }

    void captionFits()
    {
        QFETCH(QString, name);
        if (name.contains(QLatin1Char('/'))) {
            auto *tabs = window->findChild<QTabWidget *>(name.section(QLatin1Char('/'), 0, 0));
            QVERIFY(tabs);
            QTabBar *bar = tabs->tabBar();
            const int index = name.section(QLatin1Char('/'), 1).toInt();
            // Neither cut nor pushed out of the bar.
            const int needed = bar->fontMetrics().horizontalAdvance(bar->tabText(index)) +
                    bar->style()->pixelMetric(QStyle::PM_TabBarTabHSpace, nullptr, bar);
            QVERIFY2(bar->tabRect(index).width() >= needed, qPrintable(bar->tabText(index)));
            QVERIFY2(bar->tabRect(index).right() < tabs->width(), qPrintable(bar->tabText(index)));
            return;
        }
        QWidget *widget = window->findChild<QWidget *>(name);
        QVERIFY(widget);
        auto *label = qobject_cast<QLabel *>(widget);
        const QString text = label ? label->text() : static_cast<QAbstractButton *>(widget)->text();
        const QRect room = label ? label->contentsRect() : widget->rect();
        const QSize needed = label && label->wordWrap()
                ? QFontMetrics(label->font())
                          .boundingRect(room, int(label->alignment()) | Qt::TextWordWrap, text)
                          .size()
                : neededSize(widget, text);
        QVERIFY2(needed.width() <= room.width() && needed.height() <= room.height(),
                 qPrintable(QStringLiteral("\"%1\" needs %2x%3 in %4x%5")
                                    .arg(text)
                                    .arg(needed.width())
                                    .arg(needed.height())
                                    .arg(room.width())
                                    .arg(room.height())));
    }
};

QTEST_MAIN(TestCaptions)
#include "tst_captions.moc"
