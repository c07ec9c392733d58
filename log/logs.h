#pragma once

#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QString>
#include <QThread>

#include <functional>

// The program's diary: every class reports through trace(), which stamps the
// message, appends it as one record to Trace.log and announces it. The file
// is readable by its owner only; once it passes its size limit it becomes
// Trace.log.1 (one generation kept) and a new file begins with the banner.
//
// Derives from QThread for historical reasons only; it never runs as a thread.
class Logs final : public QThread
{
    Q_OBJECT
    Q_DISABLE_COPY(Logs)

public:
    using Clock = std::function<QDateTime()>;

    // The process-wide log on "Trace.log" in the working directory at first call.
    static Logs *instance();

    // Opens the log on fileName (resolved to an absolute path now) and writes the
    // session banner. Tests pass their own file and clock.
    explicit Logs(const QString &fileName = QStringLiteral("Trace.log"), Clock clock = {});
    ~Logs() override;

    // Appends one record; the record is on disk when this returns. Safe from any thread.
    void trace(const QString &message);

    QString filePath() const;

    // 10 MiB unless set; tests set less.
    static constexpr qint64 defaultSizeLimit = 10 * 1024 * 1024;
    void setSizeLimit(qint64 bytes);

signals:
    // The stamped text of each record, without the "Log:" prefix.
    void LogDbProxy(QString log);

protected:
    void run() override { }

private:
    QString timestamp() const;
    void append(const QString &record);
    // Opens a file that does not exist yet, for the owner only.
    bool openNew();
    // The session banner, after an empty line; the file is open.
    void writeBanner();
    void startNextFile();

    QFile logfile;
    Clock clock;
    // Records come from several threads; one writer at a time keeps them whole.
    QMutex appendMutex;
    qint64 sizeLimit = defaultSizeLimit;
};
