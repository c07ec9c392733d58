#pragma once

#include <QMutex>
#include <QMutexLocker>
#include <QSemaphore>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <memory>

// A Network Information Server on 127.0.0.1 (a free port) that runs on its
// own thread, answers "status" and "events" for a UPS on mains, and records
// every request it receives, from any client, in the order they arrived.
// Test programs of ours may send it any other text as a marker
// ("apctest started"), which it records in the same sequence and answers
// with "ok", so that the sender knows it has been recorded.
class RecordingNisServer final : public QThread
{
public:
    RecordingNisServer()
    {
        start();
        ready.acquire();
    }
    ~RecordingNisServer() override
    {
        quit();
        wait();
    }

    quint16 port() const { return listeningPort; }

    QStringList requests() const
    {
        QMutexLocker locker(&mutex);
        return received;
    }

    static QByteArray record(const QByteArray &text)
    {
        const int size = text.size();
        return QByteArray(1, char(size >> 8)) + char(size & 0xff) + text;
    }

protected:
    void run() override
    {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost, 0);
        listeningPort = server.serverPort();
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this, &server] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                auto buffer = std::make_shared<QByteArray>();
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                QObject::connect(socket, &QTcpSocket::readyRead, socket,
                                 [this, socket, buffer] { serve(socket, *buffer); });
            }
        });
        ready.release();
        exec();
    }

private:
    void serve(QTcpSocket *socket, QByteArray &buffer)
    {
        buffer += socket->readAll();
        while (buffer.size() >= 2) {
            const int size = (quint8(buffer.at(0)) << 8) | quint8(buffer.at(1));
            if (buffer.size() < 2 + size)
                return;
            const QString request = QString::fromUtf8(buffer.mid(2, size));
            buffer.remove(0, 2 + size);
            {
                QMutexLocker locker(&mutex);
                received.append(request);
            }
            if (request == QLatin1String("status")) {
                socket->write(record("APC      : 001,005,0129\n") +
                              record("UPSNAME  : recorder\n") + record("STATUS   : ONLINE \n") +
                              record("END APC  : 2024-01-01 00:00:00 +0000  \n") + record(""));
            } else if (request == QLatin1String("events")) {
                socket->write(record("2024-01-01 00:00:00 +0000  apcupsd started\n") + record(""));
            } else {
                socket->write(record("ok\n") + record(""));
            }
        }
    }

    QSemaphore ready;
    quint16 listeningPort = 0;
    mutable QMutex mutex;
    QStringList received;
};
