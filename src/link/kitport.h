#ifndef KITPORT_H
#define KITPORT_H

class QSerialPort;

// The kit's serial line: 115200 baud, 8 data bits, no parity, one stop bit, no flow control.
// Applied to a port that is already open.
void applyKitPortSettings(QSerialPort &port);

#endif // KITPORT_H
