#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "link/framereader.h"
#include "link/positionreport.h"

#include <QAbstractSocket>
#include <QMainWindow>
#include <QString>

class GraphicsView;
class PlanScene;
class QSerialPort;
class QTcpSocket;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // The latest decoded report; it holds its start values until the first frame.
    const PositionReport &currentReport() const { return report; }

signals:
    void sendAnalyzeData();

private slots:
    void serialOpenOrClose();
    void readData();
    void receiveAnalyzeData();
    void wifiOpenOrClose();
    void wifiRead();
    void wifiDisplayError(QAbstractSocket::SocketError);
    void sendConfigMes();

public slots:
    void sceneMaxtrixReceiver();
    void sceneFitgraphicsView();

private:
    void listSerialPorts();
    void closeSerialLink();
    void deliverFrames(FrameReader &reader, const QByteArray &bytes);

    Ui::MainWindow *ui;
    QSerialPort *serialPort = nullptr;
    QTcpSocket *tcpSocket = nullptr;
    QString hostAddress;
    int hostPort = 0;
    // Both links cut their streams into frames the same way.
    FrameReader tcpBuffer;
    FrameReader serialBuffer;
    PlanScene *scene = nullptr;
    GraphicsView *view = nullptr;
    PositionReport report;
};

#endif // MAINWINDOW_H
