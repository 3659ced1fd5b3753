#include "link/kitport.h"

#include <QSerialPort>

void applyKitPortSettings(QSerialPort &port)
{
    port.setBaudRate(QSerialPort::Baud115200, QSerialPort::AllDirections);
    port.setDataBits(QSerialPort::Data8);
    port.setParity(QSerialPort::NoParity);
    port.setStopBits(QSerialPort::OneStop);
    port.setFlowControl(QSerialPort::NoFlowControl);
}
