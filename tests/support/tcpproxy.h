#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <atomic>
#include <memory>

// A TCP proxy on 127.0.0.1 in front of a MySQL server, on a thread of its own
// so that it forwards while the test's thread waits. It reads the client's
// side as MySQL packets (3-byte length, sequence number, payload), so that it
// can break a connection at one chosen packet:
//   - BeforeServer: the packet never reaches the server;
//   - AfterServerReply: the server gets it and answers, the answer never
//     reaches the client.
// Refusing, it closes every connection and each new one at once.
class TcpProxy final
{
public:
    enum class Drop { BeforeServer, AfterServerReply };

    TcpProxy(const QString &targetHost, quint16 targetPort)
        : worker(new Worker(QHostAddress(targetHost), targetPort))
    {
        worker->moveToThread(&thread);
        QObject::connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
        thread.start();
        QMetaObject::invokeMethod(
                worker,
                [this] {
                    if (worker->server.listen(QHostAddress::LocalHost, 0))
                        listeningPort = worker->server.serverPort();
                },
                Qt::BlockingQueuedConnection);
    }

    ~TcpProxy()
    {
        thread.quit();
        thread.wait();
    }

    TcpProxy(const TcpProxy &) = delete;
    TcpProxy &operator=(const TcpProxy &) = delete;

    bool isListening() const { return listeningPort != 0; }
    quint16 port() const { return listeningPort; }

    void setRefusing(bool refusing)
    {
        QMetaObject::invokeMethod(
                worker, [this, refusing] { worker->setRefusing(refusing); },
                Qt::BlockingQueuedConnection);
    }

    // Breaks the connection at the next client packet that holds marker;
    // with thenRefuse, refuses new connections from then on.
    void dropAt(const QByteArray &marker, Drop how, bool thenRefuse = false)
    {
        QMetaObject::invokeMethod(
                worker,
                [this, marker, how, thenRefuse] {
                    worker->marker = marker;
                    worker->drop = how;
                    worker->refuseAfterDrop = thenRefuse;
                    worker->dropped = false;
                },
                Qt::BlockingQueuedConnection);
    }

    // The connection was broken as asked.
    bool hasDropped() const { return worker->dropped; }
    // Connections accepted while not refusing.
    int connectionsAccepted() const { return worker->accepted; }

private:
    struct Pair
    {
        QPointer<QTcpSocket> client;
        QPointer<QTcpSocket> upstream;
        QByteArray fromClient;
        QByteArray waiting; // for the server, until it is connected
        bool swallowReply = false;
    };

    class Worker final : public QObject
    {
    public:
        Worker(const QHostAddress &host, quint16 port)
            : targetHost(host)
            , targetPort(port)
        {
            connect(&server, &QTcpServer::newConnection, this, [this] { accept(); });
        }

        ~Worker() override
        {
            for (const std::shared_ptr<Pair> &pair : pairs)
                close(*pair);
        }

        void setRefusing(bool refuse)
        {
            refusing = refuse;
            if (refusing) {
                for (const std::shared_ptr<Pair> &pair : pairs)
                    close(*pair);
                pairs.clear();
            }
        }

        QTcpServer server{this};
        QByteArray marker;
        TcpProxy::Drop drop = TcpProxy::Drop::BeforeServer;
        bool refuseAfterDrop = false;
        std::atomic<bool> dropped{false};
        std::atomic<int> accepted{0};

    private:
        void accept()
        {
            while (QTcpSocket *client = server.nextPendingConnection()) {
                if (refusing) {
                    client->abort();
                    client->deleteLater();
                    continue;
                }
                ++accepted;
                auto pair = std::make_shared<Pair>();
                pair->client = client;
                pair->upstream = new QTcpSocket(this);
                pairs.append(pair);
                std::weak_ptr<Pair> weak = pair;
                connect(client, &QTcpSocket::readyRead, this, [this, weak] {
                    if (auto p = weak.lock())
                        fromClient(*p);
                });
                connect(pair->upstream, &QTcpSocket::connected, this, [weak] {
                    if (auto p = weak.lock()) {
                        p->upstream->write(p->waiting);
                        p->waiting.clear();
                    }
                });
                connect(pair->upstream, &QTcpSocket::readyRead, this, [this, weak] {
                    if (auto p = weak.lock())
                        fromServer(*p);
                });
                for (QTcpSocket *socket : {client, pair->upstream.data()})
                    connect(socket, &QTcpSocket::disconnected, this, [this, weak] {
                        if (auto p = weak.lock())
                            finish(p);
                    });
                pair->upstream->connectToHost(targetHost, targetPort);
            }
        }

        void fromClient(Pair &pair)
        {
            pair.fromClient += pair.client->readAll();
            while (pair.fromClient.size() >= 4) {
                const auto byte = [&pair](int i) { return uchar(pair.fromClient.at(i)); };
                const int length = byte(0) | (byte(1) << 8) | (byte(2) << 16);
                if (pair.fromClient.size() < 4 + length)
                    return;
                const QByteArray packet = pair.fromClient.left(4 + length);
                pair.fromClient.remove(0, 4 + length);
                const bool hit = !marker.isEmpty() && packet.contains(marker);
                if (hit && drop == TcpProxy::Drop::BeforeServer) {
                    marker.clear();
                    refusing = refuseAfterDrop;
                    dropped = true;
                    close(pair);
                    return;
                }
                if (hit)
                    marker.clear();
                if (pair.upstream->state() == QAbstractSocket::ConnectedState)
                    pair.upstream->write(packet);
                else
                    pair.waiting += packet;
                if (hit) {
                    pair.swallowReply = true;
                    return;
                }
            }
        }

        void fromServer(Pair &pair)
        {
            const QByteArray data = pair.upstream->readAll();
            if (pair.swallowReply) {
                // The server has carried the statement out; its answer is lost.
                refusing = refuseAfterDrop;
                dropped = true;
                close(pair);
                return;
            }
            if (pair.client)
                pair.client->write(data);
        }

        void close(Pair &pair)
        {
            for (QTcpSocket *socket : {pair.client.data(), pair.upstream.data()}) {
                if (socket) {
                    socket->disconnect(this);
                    socket->abort();
                    socket->deleteLater();
                }
            }
        }

        void finish(const std::shared_ptr<Pair> &pair)
        {
            // What one side said last still goes to the other before it closes.
            if (pair->client && pair->upstream && !pair->swallowReply) {
                if (pair->client->bytesAvailable() > 0)
                    fromClient(*pair);
                if (pair->upstream && pair->upstream->bytesAvailable() > 0)
                    fromServer(*pair);
            }
            close(*pair);
            pairs.removeAll(pair);
        }

        QHostAddress targetHost;
        quint16 targetPort;
        bool refusing = false;
        QList<std::shared_ptr<Pair>> pairs;
    };

    QThread thread;
    Worker *worker;
    quint16 listeningPort = 0;
};
