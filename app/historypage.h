#pragma once

#include "historyloader.h"
#include "historyreader.h"

#include <QElapsedTimer>
#include <QList>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <functional>
#include <memory>

class HistoryChart;
class QButtonGroup;
class QLabel;
class QPushButton;
class QThread;

// The "History" tab: line voltage, load, battery charge and runtime left over
// the last hour, 24 hours, 7 days or 31 days, read from the local journal,
// with power failures and returns marked on the time axis. While the tab is
// in view the newest rows join the charts as they are written; out of view it
// reads nothing. "Export CSV..." saves the rows of the span shown.
class HistoryPage final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY(HistoryPage)

public:
    enum Span { LastHour, LastDay, LastWeek, LastMonth };

    // Asks where to save the export; an empty answer saves nothing. The
    // default is the platform's file dialog; tests put their own in its place.
    using SaveChooser = std::function<QString(QWidget *parent, const QString &suggested)>;
    static SaveChooser setSaveChooser(SaveChooser chooser);

    // holdMs: how long a row's values hold when no newer row follows (the
    // logging interval with some slack); asked at every read.
    HistoryPage(const QString &journalPath, std::function<qint64()> holdMs, QWidget *parent);
    ~HistoryPage() override;

    void setSpan(Span span);
    Span span() const { return current; }
    static qint64 spanMs(Span span);

    // What the charts show, for tests and the benchmark.
    const HistoryReader::Reduction &reduction() const { return shownReduction; }
    const QList<HistoryReader::PowerMark> &marks() const { return shownMarks; }
    QString statusText() const;
    // The outcome of the last export, kept until the next one.
    QString exportText() const;
    // How long the last read of the journal took, on the loader's thread.
    qint64 lastReadMs() const { return lastRead; }

signals:
    // The charts show a fresh read: after a switch of span (whole) or an update.
    void shown(bool whole);
    // An export ended; rows is -1 when it failed.
    void exported(qint64 rows, const QString &message);

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void readWhole();
    void readNewest();
    void answered(const HistoryAnswer &answer);
    void render();
    int columns() const;
    void exportShown();
    void exportFinished(qint64 rows, const QString &file, const QString &error);

    QString journalPath;
    std::function<qint64()> holdMs;
    Span current = LastDay;
    QButtonGroup *spanButtons;
    QPushButton *exportButton;
    QLabel *status;
    QLabel *exportResult;
    QList<HistoryChart *> charts;
    HistoryLoader *loader = nullptr;
    QTimer updates;

    quint64 serial = 0;
    // The serial of the last whole read asked for; older answers are dropped.
    quint64 wholeSerial = 0;
    bool waiting = false;
    qint64 lastRead = 0;
    HistoryReader::Reduction shownReduction;
    QList<HistoryReader::PowerMark> shownMarks;

    QThread *exporter = nullptr;
    std::atomic<bool> cancelExport{false};
};
