#include "app/mainwindow.h"

#include "link/kitport.h"
#include "ui_mainwindow.h"

#include <QDebug>
#include <QSerialPort>

void MainWindow::serialOpenOrClose()
{
    const QString state = ui->serialPushBtn->text();
    if (state == QLatin1String("Open")) {
        serialPort = new QSerialPort;
        serialPort->setReadBufferSize(FrameReader::MaxArrival);
        serialPort->setPortName(ui->serialComboBox->currentText());
        if (!serialPort->open(QIODevice::ReadWrite)) {
            delete serialPort;
            serialPort = nullptr;
            return;
        }
        applyKitPortSettings(*serialPort);
        // A new stream: half a frame left from an earlier session must not join it.
        serialBuffer.clear();

        ui->serialComboBox->setEnabled(false);
        ui->serialPushBtn->setEnabled(false);
        ui->serialPushBtn->setText(QStringLiteral("Close"));
        ui->serialPushBtn->setEnabled(true);
        ui->wifiPushBtn->setEnabled(false);
        connect(serialPort, SIGNAL(readyRead()), this, SLOT(readData()));
        // A device that hung up or vanished fails every read at once and for good: holding it
        // open would spin the event loop and keep its name from the re-plugged adapter.
        connect(serialPort, &QSerialPort::errorOccurred, this,
                [this](QSerialPort::SerialPortError error) {
                    if (error != QSerialPort::ReadError && error != QSerialPort::ResourceError)
                        return;
                    qDebug() << "Zorvan: serial link lost:" << serialPort->errorString();
                    closeSerialLink();
                });
    } else if (state == QLatin1String("Close")) {
        closeSerialLink();
    }
}

void MainWindow::closeSerialLink()
{
    // Closing a failed port can fail again; that must not be reported a second time.
    serialPort->disconnect(this);
    serialPort->clear(QSerialPort::AllDirections);
    serialPort->close();
    serialPort->deleteLater();
    serialPort = nullptr;

    ui->serialComboBox->setEnabled(true);
    ui->serialPushBtn->setText(QStringLiteral("Open"));
    ui->wifiPushBtn->setEnabled(true);
}

void MainWindow::readData()
{
    if (!serialPort)
        return;
    const QByteArray bytes = serialPort->readAll();
    if (!bytes.isEmpty())
        deliverFrames(serialBuffer, bytes);
}
