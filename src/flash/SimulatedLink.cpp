#include "SimulatedLink.h"

namespace kestrel::flash {

drivesim::DriveOptions SimulatedLink::optionsFor(const QString& address,
                                                 const QByteArray& firmwareFile) {
    drivesim::DriveOptions options;
    options.ipAddress = address;
    options.firmwareFile = firmwareFile;
    // A file for another model is taken by a drive of that model, so that any
    // file can be tried; the default drive is the sample's.
    const auto file = drivesim::parseFirmwareFile(firmwareFile, nullptr);
    if (file && file->modelNumber > 0 && file->modelNumber < 256) {
        options.modelCode = file->modelNumber;
    }
    return options;
}

SimulatedLink::SimulatedLink(const QString& address, const QByteArray& firmwareFile)
    : drive_(scheduler_, serial_, udp_, optionsFor(address, firmwareFile)) {
    // The drive is on whichever COM port the session opens.
    serial_.setOtherPortsOpenResult(CommError::None);
}

QByteArray sampleFirmwareFile() {
    QByteArray image(8 * 1024, '\0');
    for (qsizetype i = 0; i < image.size(); ++i) {
        image[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    }
    return QByteArrayLiteral("1.06\r\n55\r\n") + QByteArray(3, '\0') + image;
}

}  // namespace kestrel::flash
