#include "app/mainwindow.h"

#include "app/tablesetup.h"
#include "display/planscene.h"
#include "ui_mainwindow.h"
#include "view/graphicsview.h"
#include "view/repaintpacer.h"

#include <QSerialPort>
#include <QSerialPortInfo>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    ui->setupUi(this);

    view = new GraphicsView;
    view->setGeometry(0, 0, 1000, 900);
    view->setParent(this);
    view->hide();

    ui->serialPushBtn->setEnabled(false);
    stretchTableHeaders(ui->anchorMestableWidget);
    stretchTableHeaders(ui->rangeDisplaytableWidget);

    view->setDragMode(QGraphicsView::ScrollHandDrag);
    view->setRenderHint(QPainter::Antialiasing);

    setUpAnchorTable(ui->anchorMestableWidget);
    setUpRangeTable(ui->rangeDisplaytableWidget);
    ui->anchorMestableWidget->setSelectionMode(QAbstractItemView::SingleSelection);
    ui->rangeDisplaytableWidget->setSelectionMode(QAbstractItemView::SingleSelection);

    listSerialPorts();

    qRegisterMetaType<QAbstractSocket::SocketError>();
    connect(ui->serialPushBtn, SIGNAL(clicked()), this, SLOT(serialOpenOrClose()));
    connect(ui->wifiPushBtn, SIGNAL(clicked()), this, SLOT(wifiOpenOrClose()));
    connect(this, SIGNAL(sendAnalyzeData()), this, SLOT(receiveAnalyzeData()));
    connect(ui->setPushButton, SIGNAL(clicked()), this, SLOT(sendConfigMes()));
    connect(view, SIGNAL(sceneMaxtrixChanged()), this, SLOT(sceneMaxtrixReceiver()));
    connect(view, SIGNAL(sceneFitView()), this, SLOT(sceneFitgraphicsView()));

    scene = new PlanScene(this);
    // A report moves the range circles, whose bounding rectangles cover nearly the whole view.
    view->setViewportUpdateMode(QGraphicsView::FullViewportUpdate);
    view->setScene(scene);
    new RepaintPacer(this);
    view->show();
}

MainWindow::~MainWindow()
{
    delete ui;
    // The port has no parent: an open one would otherwise stay open and leak.
    delete serialPort;
}

// Only ports that open now are offered: a port held by another program would fail later.
void MainWindow::listSerialPorts()
{
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        QSerialPort port;
        port.setPort(info);
        if (port.open(QIODevice::ReadWrite)) {
            ui->serialComboBox->addItem(port.portName());
            port.close();
            ui->serialPushBtn->setEnabled(true);
        }
    }
}

void MainWindow::deliverFrames(FrameReader &reader, const QByteArray &bytes)
{
    reader.append(bytes);
    while (const char *frame = reader.nextFrame()) {
        decodePositionReport(frame, ReportFrame::Size, report);
        emit sendAnalyzeData();
    }
}
