#include "Datagram.h"

namespace kestrel {

std::optional<quint16> datagramType(QByteArrayView datagram) {
    if (datagram.size() < 2) {
        return std::nullopt;
    }
    const auto high = static_cast<quint8>(datagram[0]);
    const auto low = static_cast<quint8>(datagram[1]);
    return static_cast<quint16>(high * 256 + low);
}

QByteArray envelope(DatagramType type, QByteArrayView payload) {
    const auto value = static_cast<quint16>(type);
    QByteArray datagram;
    datagram.reserve(2 + payload.size());
    datagram.append(static_cast<char>(value >> 8));
    datagram.append(static_cast<char>(value & 0xFF));
    datagram.append(payload);
    return datagram;
}

QByteArray commandDatagram(char letter, quint8 bytesBack, QByteArrayView following) {
    QByteArray datagram = envelope(DatagramType::Command);
    datagram.append(letter);
    datagram.append(static_cast<char>(bytesBack));
    datagram.append(following);
    return datagram;
}

QByteArray commandData(QByteArrayView command) {
    QByteArray data(1, '\0');
    if (command.size() > 1) {
        data.append(command.sliced(1));
    }
    return data;
}

QByteArray driveQuery() {
    return envelope(DatagramType::DriveQuery, QByteArrayView("\0", 1));
}

}  // namespace kestrel
