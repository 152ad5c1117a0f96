#include "DriveText.h"

#include "TransferRules.h"
#include "platform/ByteBuffer.h"

namespace kestrel {

bool DriveText::act(unsigned char byte, QByteArrayView rest) {
    switch (classifyDriveByte(byte)) {
        case DriveByte::HoldOn:
            download_.TransmitHold = true;
            break;
        case DriveByte::HoldOff:
            download_.TransmitHold = false;
            break;
        case DriveByte::Dot:
            download_.LastDotBlock = download_.BlockCount;
            break;
        case DriveByte::Ignored:
            break;
        case DriveByte::LineEnd:
            report_.appendStatus(QStringLiteral("\n\r"));
            break;
        case DriveByte::Error: {
            download_.TransmitHold = true;
            const QByteArray shown = QByteArray(1, 'E') + rest.toByteArray();
            report_.appendStatus(BytesToString(shown, 0, static_cast<int>(shown.size())));
            return true;
        }
        case DriveByte::Text:
            report_.appendStatus(QString(QChar(byte)));
            break;
    }
    return false;
}

}  // namespace kestrel
