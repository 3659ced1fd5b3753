#include "app/mainwindow.h"

#include "ui_mainwindow.h"

#include <QDebug>
#include <QTcpSocket>

namespace {

// The attempt blocks the window, so it must give up quickly.
constexpr int ConnectTimeoutMs = 1000;

// Only a whole number from 1 to 65535 names a TCP port; anything else is not silently wrapped.
int parsePort(const QString &text)
{
    bool ok = false;
    const int port = text.toInt(&ok, 10);
    return ok && port >= 1 && port <= 65535 ? port : 0;
}

} // namespace

void MainWindow::wifiOpenOrClose()
{
    const QString state = ui->wifiPushBtn->text();
    if (state == QLatin1String("Connect")) {
        hostAddress = ui->ipLineEdit->text();
        hostPort = parsePort(ui->portLineEdit->text());
        if (hostPort == 0)
            return;
        auto *socket = new QTcpSocket(this);
        socket->setReadBufferSize(FrameReader::MaxArrival);
        socket->connectToHost(hostAddress, quint16(hostPort), QIODevice::ReadWrite,
                              QAbstractSocket::AnyIPProtocol);
        if (!socket->waitForConnected(ConnectTimeoutMs)) {
            socket->abort();
            socket->deleteLater();
            return;
        }
        tcpSocket = socket;
        tcpBuffer.clear();

        ui->ipLineEdit->setEnabled(false);
        ui->portLineEdit->setEnabled(false);
        ui->wifiPushBtn->setText(QStringLiteral("Disconnect"));
        ui->serialComboBox->setEnabled(false);
        ui->serialPushBtn->setEnabled(false);
        connect(tcpSocket, SIGNAL(readyRead()), this, SLOT(wifiRead()));
        connect(tcpSocket, SIGNAL(errorOccurred(QAbstractSocket::SocketError)), this,
                SLOT(wifiDisplayError(QAbstractSocket::SocketError)));
    } else if (state == QLatin1String("Disconnect")) {
        tcpSocket->close();
        tcpSocket->abort();
        tcpSocket->deleteLater();
        tcpSocket = nullptr;

        ui->ipLineEdit->setEnabled(true);
        ui->portLineEdit->setEnabled(true);
        ui->serialComboBox->setEnabled(true);
        ui->serialPushBtn->setEnabled(true);
        ui->wifiPushBtn->setText(QStringLiteral("Connect"));
    }
}

void MainWindow::wifiRead()
{
    if (!tcpSocket)
        return;
    const QByteArray bytes = tcpSocket->readAll();
    if (!bytes.isEmpty())
        deliverFrames(tcpBuffer, bytes);
}

void MainWindow::wifiDisplayError(QAbstractSocket::SocketError)
{
    if (auto *socket = qobject_cast<QAbstractSocket *>(sender()))
        qDebug() << "Zorvan: network link error:" << socket->errorString();
}
