// Winsock1: the TCP endpoint that is either listening or connected to one client, never
// both. Thin over QTcpServer and one QTcpSocket; Form1's handlers decide what to do.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>

class CommandListener : public QObject {
    Q_OBJECT
public:
    // Reads are capped so a client that floods is taken in bounded slices.
    static constexpr qint64 ReadBufferSize = 64 * 1024;

    explicit CommandListener(QObject* parent = nullptr);
    ~CommandListener() override;

    void SetLocalPort(quint16 port) { localPort_ = port; }
    // The port actually listened on (differs from the set one only for port 0).
    quint16 LocalPort() const { return server_.serverPort(); }
    bool Listen();
    // Ends the connection, or the listening (keeping a requested connection for Accept).
    void Close();
    void Accept(int requestId);
    // All bytes waiting now.
    QByteArray GetData();

    bool IsListening() const { return server_.isListening(); }
    QString ErrorString() const { return errorString_; }
    QAbstractSocket::SocketError Error() const { return error_; }

signals:
    void ConnectionRequest(int requestId);
    void DataArrival(int bytesTotal);
    // The client went away without "disconnect": closed, reset or failed.
    void ConnectionLost();

private:
    void OnNewConnection();
    void OnReadyRead();
    void OnSocketGone();
    void Discard(QTcpSocket*& socket);

    QTcpServer server_;
    QTcpSocket* requested_ = nullptr;
    QTcpSocket* socket_ = nullptr;
    quint16 localPort_ = 0;
    int nextRequestId_ = 1;
    QString errorString_;
    QAbstractSocket::SocketError error_ = QAbstractSocket::UnknownSocketError;
};
