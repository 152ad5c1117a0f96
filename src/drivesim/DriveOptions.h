#pragma once

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>

namespace kestrel::drivesim {

// Everything about the simulated drive that a test or a demo may want to
// change. The defaults are a healthy model-55 drive at revision 1.05 with a
// high-speed boot loader.
struct DriveOptions {
    // Identity.
    int modelCode = 55;
    int revision = 5;  // shown by the host as 1.05
    char revisionSuffix = 'D';
    int bootLoaderVersion = 5;
    bool blank = false;        // no firmware: powers up in its boot loader (revision 0xFF)
    bool otherFamily = false;  // announces itself with the 0xEF packet

    // The firmware file the host is expected to send (header included); its
    // image is what every download is compared with, its revision is the
    // drive's after a good download. Empty: nothing is expected.
    QByteArray firmwareFile{};
    // A second of silence ends an image.
    double quietTime = 1.0;

    // Serial line.
    int normalBitRate = 9600;
    int highSpeedBitRate = 115200;  // the boot loader's, when its version is a high-speed one
    // Bytes sent at a bit rate the receiver is not set to arrive garbled.
    bool checkBitRate = true;
    // The bit rate at which the host's bytes reach the drive, one character
    // after another however fast they were written (a pseudo-terminal has no
    // line of its own); 0: each byte arrives as soon as it is written.
    int lineRate = 0;
    double commandReplyDelay = 0.002;
    double bootEntryDelay = 0.05;  // from "B5827" to the boot-loader packet
    double restartDelay = 0.2;     // from the end of an image to the restart
    QByteArray saReply = "OK";
    bool replyToSA = true;
    bool replyToSV = true;
    // Bytes slipped into every packet right after its marker (an LF, garbage).
    QByteArray packetInsert{};

    // The boot loader's receive buffer, drained into flash at a fixed rate;
    // XOFF at xoffLevel, XON once it has drained to xonLevel. Bytes beyond the
    // size are lost.
    // The XOFF level leaves room for a host that reacts a little late (over a
    // pseudo-terminal there is no wire to slow it down).
    int rxBufferSize = 2048;
    int xoffLevel = 1024;
    int xonLevel = 256;
    double drainRate = 8000.0;  // bytes per second
    int dotEveryBytes = 256;    // 0: never sends "."
    qint64 errorAtByte = -1;    // sends "E" when the byte at this offset arrives
    qint64 stopAtByte = -1;     // falls silent when the byte at this offset arrives

    // Ethernet.
    QString ipAddress = QStringLiteral("10.10.10.10");  // in-process: the address the host must use
    quint16 udpPort = 7775;
    double replyLatency = 200e-6;
    double dropDataFraction = 0.0;  // data datagrams lost on the way in
    double dropAckFraction = 0.0;   // acknowledgements lost on the way out
    quint32 seed = 1;
    bool ignoreCountQueries = false;
    int dotEveryDatagrams = 4;  // 0: never
    int errorAtDatagram = -1;   // answers the data datagram with this index with "E"
    int stopAtDatagram = -1;    // falls silent at the data datagram with this index
    quint32 buildNumber = 300;
    std::array<quint8, 6> mac{0x02, 0x00, 0x00, 0x4B, 0x53, 0x37};
};

// Boot-loader versions that take the image at the high bit rate.
bool isHighSpeedBootLoader(int version);

// Checks the options for values the drive cannot work with; empty when fine.
QString validateOptions(const DriveOptions& options);

}  // namespace kestrel::drivesim
