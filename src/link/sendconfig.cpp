#include "app/mainwindow.h"

#include "link/anchorconfig.h"
#include "ui_mainwindow.h"

#include <QMessageBox>
#include <QSerialPort>
#include <QTcpSocket>

void MainWindow::sendConfigMes()
{
    QTableWidget *table = ui->anchorMestableWidget;
    std::array<AnchorConfigCommand::Anchor, AnchorConfigCommand::AnchorCount> anchors;
    int selected = 0;
    for (int row = 0; row < table->rowCount() && selected < AnchorConfigCommand::AnchorCount;
         ++row) {
        const QTableWidgetItem *box = table->item(row, 0);
        if (!box || box->data(Qt::CheckStateRole).toInt() != Qt::Checked)
            continue;
        auto &anchor = anchors[size_t(selected++)];
        anchor.row = row;
        for (int axis = 0; axis < 3; ++axis) {
            const QTableWidgetItem *cell = table->item(row, axis + 1);
            anchor.coordinates[size_t(axis)]
                = cell ? cell->data(Qt::DisplayRole).toString() : QString();
        }
    }
    if (selected < AnchorConfigCommand::AnchorCount) {
        QMessageBox::about(nullptr, QStringLiteral("AnchorNotEnough"),
                           QStringLiteral("Please Select Enough Anchors"));
        return;
    }

    const auto result = AnchorConfigCommand::build(anchors, ui->tagIdLineEdit->text());
    if (result.command.isEmpty()) {
        QMessageBox::about(nullptr, QStringLiteral("InvalidValue"), result.refusal);
        return;
    }

    QIODevice *link = nullptr;
    if (ui->serialPushBtn->text() == QLatin1String("Close"))
        link = serialPort;
    else if (ui->wifiPushBtn->text() == QLatin1String("Disconnect"))
        link = tcpSocket;
    if (!link) {
        QMessageBox::about(nullptr, QStringLiteral("CAN Not Send"),
                           QStringLiteral("Please Open Serial Or Connect Wifi"));
        return;
    }
    if (link->write(result.command) != AnchorConfigCommand::Size)
        QMessageBox::about(nullptr, QStringLiteral("SendFailed"),
                           QStringLiteral("Configuration Not Sent"));
}
