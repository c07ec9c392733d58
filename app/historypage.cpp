#include "historypage.h"

#include <QButtonGroup>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGraphicsLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSaveFile>
#include <QStandardPaths>
#include <QToolButton>
#include <QVBoxLayout>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QDateTimeAxis>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>

#include <cmath>
#include <optional>

QT_CHARTS_USE_NAMESPACE

namespace {

struct SpanLook
{
    const char *caption;
    qint64 ms;
    const char *timeFormat;
};
constexpr qint64 hourMs = 3600 * 1000;
const SpanLook spanLooks[] = {
        {"1 hour", hourMs, "hh:mm"},
        {"24 hours", 24 * hourMs, "hh:mm"},
        {"7 days", 7 * 24 * hourMs, "MM-dd"},
        {"31 days", 31 * 24 * hourMs, "MM-dd"},
};

struct QuantityLook
{
    const char *title;
    QColor color;
    // The value axis starts at zero, unless it follows the values (voltage).
    bool followsValues;
    // The value axis reaches at least this far.
    double top;
};
const QuantityLook quantityLooks[HistoryReader::QuantityCount] = {
        {"Line voltage (V)", QColor(0x1c, 0x7e, 0xd6), true, 250},
        {"Load (%)", QColor(0xe6, 0x77, 0x00), false, 100},
        {"Battery charge (%)", QColor(0x2f, 0x9e, 0x44), false, 100},
        {"Runtime left (min)", QColor(0x70, 0x48, 0xe8), false, 10},
};

// Room around the plot for the value labels, the title and the time labels,
// the same in every chart so that their time axes line up.
constexpr int leftRoom = 40;
constexpr int rightRoom = 18;

HistoryPage::SaveChooser &saveChooser()
{
    static HistoryPage::SaveChooser chooser;
    return chooser;
}

} // namespace

// Runs one piece of work on a thread of its own. (QThread::create would do,
// but in Qt 5 it goes through std::async, whose thread-local variables make
// the program import from the dynamic loader itself.)
class WorkThread final : public QThread
{
public:
    explicit WorkThread(std::function<void()> work)
        : work(std::move(work))
    { }

protected:
    void run() override { work(); }

private:
    std::function<void()> work;
};

// One quantity over the span: a line per run of values, the power marks as
// vertical dashed lines.
class HistoryChart final : public QChartView
{
public:
    HistoryChart(const QuantityLook &look, bool timeLabels, QWidget *parent)
        // Built with its chart: setChart() would leave the view's own default
        // chart to the caller to delete.
        : QChartView(new QChart, parent)
        , look(look)
        , timeLabels(timeLabels)
    {
        QChart *chart = this->chart();
        chart->legend()->hide();
        chart->setBackgroundRoundness(0);
        chart->setMargins(QMargins());
        chart->layout()->setContentsMargins(0, 0, 0, 0);
        QFont titleFont = font();
        titleFont.setBold(true);
        titleFont.setPointSizeF(titleFont.pointSizeF() * 0.9);
        chart->setTitleFont(titleFont);
        chart->setTitle(QLatin1String(look.title));
        QFont labelFont = font();
        labelFont.setPointSizeF(labelFont.pointSizeF() * 0.85);
        titleRoom = QFontMetrics(titleFont).height() + QFontMetrics(labelFont).height();
        timeRoom = QFontMetrics(labelFont).height() + 8;
        // The lowest value label is centred on the bottom of the plot, so half
        // of it hangs below; a chart without time labels has to make room.
        bottomRoom = QFontMetrics(labelFont).height() / 2 + 2;
        time = new QDateTimeAxis;
        time->setTickCount(5);
        time->setLabelsFont(labelFont);
        time->setLabelsVisible(timeLabels);
        // A time axis shown before it has a range never shows its ticks.
        const QDateTime now = QDateTime::currentDateTime();
        time->setRange(now.addDays(-1), now);
        values = new QValueAxis;
        values->setTickCount(3);
        values->setLabelFormat(QStringLiteral("%.0f"));
        values->setLabelsFont(labelFont);
        chart->addAxis(time, Qt::AlignBottom);
        chart->addAxis(values, Qt::AlignLeft);
        setFrameShape(QFrame::NoFrame);
    }

    int plotWidth() const { return std::max(1, width() - leftRoom - rightRoom); }

    void display(const QList<QVector<QPointF>> &runs, const QList<HistoryReader::PowerMark> &marks,
                 const HistoryReader::Reduction &reduction, const QString &timeFormat)
    {
        double low = std::nan("");
        double high = std::nan("");
        for (const QVector<QPointF> &run : runs) {
            for (const QPointF &point : run) {
                low = std::isnan(low) ? point.y() : std::min(low, point.y());
                high = std::isnan(high) ? point.y() : std::max(high, point.y());
            }
        }
        double bottom = 0;
        double top = look.top;
        if (look.followsValues && !std::isnan(high)) {
            bottom = std::max(0.0, std::floor((low - 5) / 10) * 10);
            top = std::ceil((high + 5) / 10) * 10;
        } else if (high > top) {
            top = std::ceil(high * 1.05);
        }
        values->setRange(bottom, std::max(top, bottom + 1));
        time->setFormat(timeFormat);
        time->setRange(QDateTime::fromMSecsSinceEpoch(reduction.fromMs),
                       QDateTime::fromMSecsSinceEpoch(reduction.toMs));

        QPen line(look.color);
        line.setWidthF(1.5);
        for (int i = 0; i < runs.size(); ++i)
            seriesAt(lines, i, line)->replace(runs.at(i));
        clearFrom(lines, runs.size());

        // One mark of a kind per bucket is all a pixel column can show.
        int shown = 0;
        std::optional<qint64> lastShown[2];
        for (const HistoryReader::PowerMark &mark : marks) {
            std::optional<qint64> &previous = lastShown[mark.failure ? 0 : 1];
            if (previous && mark.timeMs - *previous < reduction.bucketMs)
                continue;
            previous = mark.timeMs;
            QPen pen(mark.failure ? QColor(0xc9, 0x2a, 0x2a) : QColor(0x2b, 0x8a, 0x3e));
            // A failure and its return within one bucket share a pixel column:
            // the return's dashes fill the failure's gaps, so both stay seen.
            pen.setDashPattern({3, 3});
            if (!mark.failure)
                pen.setDashOffset(3);
            seriesAt(markers, shown++, pen)
                    ->replace(QVector<QPointF>{QPointF(double(mark.timeMs), values->min()),
                                               QPointF(double(mark.timeMs), values->max())});
        }
        clearFrom(markers, shown);
    }

protected:
    void resizeEvent(QResizeEvent *event) override
    {
        QChartView::resizeEvent(event);
        chart()->setPlotArea(
                QRectF(leftRoom, titleRoom, plotWidth(),
                       std::max(1, height() - titleRoom - (timeLabels ? timeRoom : bottomRoom))));
    }

private:
    QLineSeries *seriesAt(QList<QLineSeries *> &pool, int index, const QPen &pen)
    {
        while (pool.size() <= index) {
            auto *series = new QLineSeries;
            chart()->addSeries(series);
            series->attachAxis(time);
            series->attachAxis(values);
            pool.append(series);
        }
        QLineSeries *series = pool.at(index);
        if (series->pen() != pen)
            series->setPen(pen);
        return series;
    }

    static void clearFrom(const QList<QLineSeries *> &pool, int index)
    {
        for (int i = index; i < pool.size(); ++i) {
            if (pool.at(i)->count() > 0)
                pool.at(i)->clear();
        }
    }

    QuantityLook look;
    bool timeLabels;
    int titleRoom = 0;
    int timeRoom = 0;
    int bottomRoom = 0;
    QDateTimeAxis *time;
    QValueAxis *values;
    QList<QLineSeries *> lines;
    QList<QLineSeries *> markers;
};

HistoryPage::SaveChooser HistoryPage::setSaveChooser(SaveChooser chooser)
{
    SaveChooser previous = saveChooser();
    saveChooser() = std::move(chooser);
    return previous;
}

qint64 HistoryPage::spanMs(Span span)
{
    return spanLooks[span].ms;
}

HistoryPage::HistoryPage(const QString &journalPath, std::function<qint64()> holdMs,
                         QWidget *parent)
    : QWidget(parent)
    , journalPath(journalPath)
    , holdMs(std::move(holdMs))
    , spanButtons(new QButtonGroup(this))
    , exportButton(new QPushButton(QStringLiteral("Export CSV..."), this))
    , status(new QLabel(this))
    , exportResult(new QLabel(this))
{
    auto *controls = new QHBoxLayout;
    controls->setSpacing(2);
    for (int i = 0; i < int(std::size(spanLooks)); ++i) {
        auto *button = new QToolButton(this);
        button->setText(QLatin1String(spanLooks[i].caption));
        button->setCheckable(true);
        button->setChecked(i == current);
        spanButtons->addButton(button, i);
        controls->addWidget(button);
    }
    status->setTextFormat(Qt::PlainText);
    controls->addWidget(status, 1);
    controls->addWidget(exportButton);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 2);
    layout->setSpacing(0);
    layout->addLayout(controls);
    // Below the controls, where a long file name does not widen the window;
    // hidden until the first export.
    exportResult->setTextFormat(Qt::PlainText);
    exportResult->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    exportResult->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    exportResult->hide();
    layout->addWidget(exportResult);
    layout->addSpacing(2);
    for (int q = 0; q < HistoryReader::QuantityCount; ++q) {
        auto *chart =
                new HistoryChart(quantityLooks[q], q == HistoryReader::QuantityCount - 1, this);
        charts.append(chart);
        layout->addWidget(chart, q == HistoryReader::QuantityCount - 1 ? 6 : 5);
    }

    connect(spanButtons, &QButtonGroup::idClicked, this, [this](int id) { setSpan(Span(id)); });
    connect(exportButton, &QPushButton::clicked, this, &HistoryPage::exportShown);
    updates.setInterval(1000);
    connect(&updates, &QTimer::timeout, this, &HistoryPage::readNewest);
}

HistoryPage::~HistoryPage()
{
    if (exporter) {
        cancelExport = true;
        exporter->wait();
    }
}

void HistoryPage::setSpan(Span span)
{
    current = span;
    if (spanButtons->checkedId() != span)
        spanButtons->button(span)->setChecked(true);
    readWhole();
}

QString HistoryPage::statusText() const
{
    return status->text();
}

QString HistoryPage::exportText() const
{
    return exportResult->text();
}

int HistoryPage::columns() const
{
    return charts.first()->plotWidth();
}

void HistoryPage::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    readWhole();
    updates.start();
}

void HistoryPage::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    updates.stop();
}

void HistoryPage::readWhole()
{
    if (!loader) {
        loader = new HistoryLoader(journalPath, this);
        connect(loader, &HistoryLoader::answered, this, &HistoryPage::answered);
        loader->start(QThread::LowPriority);
    }
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    HistoryRequest request;
    request.serial = ++serial;
    request.fromMs = now - spanMs(current);
    request.toMs = now + 1;
    request.bucketMs = HistoryReader::bucketWidth(spanMs(current), columns());
    request.holdMs = holdMs();
    wholeSerial = request.serial;
    waiting = true;
    loader->ask(request);
}

void HistoryPage::readNewest()
{
    if (waiting)
        return;
    if (shownReduction.buckets.isEmpty()) {
        readWhole();
        return;
    }
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    HistoryRequest request;
    request.serial = ++serial;
    request.update = true;
    request.fromMs = shownReduction.buckets.last().startMs;
    request.toMs = now + 1;
    request.bucketMs = shownReduction.bucketMs;
    request.holdMs = holdMs();
    waiting = true;
    loader->ask(request);
}

void HistoryPage::answered(const HistoryAnswer &answer)
{
    if (answer.request.serial < wholeSerial)
        return;
    if (answer.request.serial == serial)
        waiting = false;
    lastRead = answer.readMs;
    if (!answer.error.isEmpty()) {
        // The journal appears with the first row the program records.
        status->setText(QFileInfo::exists(journalPath)
                                ? QStringLiteral("No history: ") + answer.error
                                : QStringLiteral("No history yet"));
        return;
    }
    if (!answer.request.update) {
        shownReduction = answer.reduction;
        shownMarks = answer.marks;
    } else {
        const qint64 fromMs = answer.request.toMs - 1 - spanMs(current);
        HistoryReader::merge(shownReduction, answer.reduction, fromMs);
        const qint64 replacedFrom = answer.reduction.buckets.isEmpty()
                ? answer.request.fromMs
                : answer.reduction.buckets.first().startMs;
        QList<HistoryReader::PowerMark> marks;
        for (const HistoryReader::PowerMark &mark : qAsConst(shownMarks)) {
            if (mark.timeMs >= fromMs && mark.timeMs < replacedFrom)
                marks.append(mark);
        }
        shownMarks = marks + answer.marks;
    }
    render();
    emit shown(!answer.request.update);
}

void HistoryPage::render()
{
    const QString timeFormat = QLatin1String(spanLooks[current].timeFormat);
    bool any = false;
    for (int q = 0; q < HistoryReader::QuantityCount; ++q) {
        const auto runs = HistoryReader::segments(shownReduction, HistoryReader::Quantity(q));
        any = any || !runs.isEmpty();
        charts.at(q)->display(runs, shownMarks, shownReduction, timeFormat);
    }
    status->setText(any ? QString() : QStringLiteral("No rows in this span"));
}

void HistoryPage::exportShown()
{
    if (exporter)
        return;
    // Linux names ~/Documents whether it exists or not, and a file dialog
    // shown a missing folder opens in the current one: the data folder.
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const QString folder =
            !documents.isEmpty() && QFileInfo(documents).isDir() ? documents : QDir::homePath();
    const QString suggested = QDir(folder).filePath(
            QStringLiteral("voltrine-history-") +
            QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmm")) +
            QStringLiteral(".csv"));
    const QString file = saveChooser()
            ? saveChooser()(this, suggested)
            : QFileDialog::getSaveFileName(this, QStringLiteral("Export CSV"), suggested,
                                           QStringLiteral("CSV files (*.csv)"));
    if (file.isEmpty())
        return;

    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 fromMs =
            shownReduction.buckets.isEmpty() ? now - spanMs(current) : shownReduction.fromMs;
    const qint64 toMs = shownReduction.buckets.isEmpty() ? now + 1 : shownReduction.toMs;
    exportButton->setEnabled(false);
    exportResult->setText(QStringLiteral("Saving..."));
    exportResult->setToolTip(QString());
    exportResult->show();
    cancelExport = false;
    const QString path = journalPath;
    exporter = new WorkThread([this, path, file, fromMs, toMs] {
        QString error;
        qint64 rows = -1;
        {
            HistoryReader reader(
                    path, QStringLiteral("history-export-") + QString::number(quintptr(this), 16));
            QSaveFile out(file);
            if (!reader.open(&error)) {
                // error says why
            } else if (!out.open(QIODevice::WriteOnly)) {
                error = out.errorString();
            } else {
                rows = reader.exportCsv(fromMs, toMs, &out, &cancelExport, &error);
                if (rows >= 0 && !out.commit()) {
                    error = out.errorString();
                    rows = -1;
                }
            }
        }
        QMetaObject::invokeMethod(
                this, [this, rows, file, error] { exportFinished(rows, file, error); },
                Qt::QueuedConnection);
    });
    exporter->start(QThread::LowPriority);
}

void HistoryPage::exportFinished(qint64 rows, const QString &file, const QString &error)
{
    exporter->wait();
    delete exporter;
    exporter = nullptr;
    exportButton->setEnabled(true);
    const QString name = QFileInfo(file).fileName();
    const QString message = rows < 0
            ? QString(QStringLiteral("Could not save ") + name + QStringLiteral(": ") + error)
            : QString(QStringLiteral("Saved %1 rows to ").arg(rows) + name);
    exportResult->setText(message);
    exportResult->setToolTip(QDir::toNativeSeparators(file));
    emit exported(rows, message);
}
