#pragma once
// A TCP relay between the program and the POP3 server that drops the first
// connection once a given number of bytes came down it: the server vanishing
// in the middle of a download, at a point the test chooses. Later
// connections pass through untouched.
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

class CuttingProxy {
public:
    CuttingProxy(quint16 upstreamPort, qint64 cutAfterBytes)
        : upstreamPort_(upstreamPort), cutAfterBytes_(cutAfterBytes) {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] { Accept(); });
    }

    quint16 Port() const { return server_.serverPort(); }
    bool HasCut() const { return cut_; }

private:
    void Accept() {
        while (QTcpSocket* client = server_.nextPendingConnection()) {
            bool cutThisOne = !cutArmed_;
            cutArmed_ = true;
            auto* upstream = new QTcpSocket(&server_);
            auto* downBytes = new qint64(0);
            QObject::connect(upstream, &QObject::destroyed, [downBytes] { delete downBytes; });
            QObject::connect(client, &QTcpSocket::readyRead,
                             [client, upstream] { upstream->write(client->readAll()); });
            QObject::connect(upstream, &QTcpSocket::readyRead,
                             [this, client, upstream, downBytes, cutThisOne] {
                                 QByteArray data = upstream->readAll();
                                 *downBytes += data.size();
                                 if (cutThisOne && !cut_ && *downBytes >= cutAfterBytes_) {
                                     cut_ = true;
                                     client->abort();
                                     upstream->abort();
                                     return;
                                 }
                                 client->write(data);
                             });
            QObject::connect(client, &QTcpSocket::disconnected,
                             [upstream] { upstream->disconnectFromHost(); });
            QObject::connect(upstream, &QTcpSocket::disconnected,
                             [client] { client->disconnectFromHost(); });
            upstream->connectToHost(QHostAddress::LocalHost, upstreamPort_);
        }
    }

    QTcpServer server_;
    quint16 upstreamPort_;
    qint64 cutAfterBytes_;
    bool cutArmed_ = false;
    bool cut_ = false;
};
