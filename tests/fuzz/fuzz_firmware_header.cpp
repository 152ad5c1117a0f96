// The host's and the simulated drive's firmware header readers on arbitrary files:
// a file reads as its bytes in memory do, and no control byte reaches a caption.
#include "FuzzInput.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QBuffer device;
    device.setData(FuzzInput{data, size}.take(size));
    device.open(QIODevice::ReadOnly);
    const FirmwareHeader h = readFirmwareHeader(QByteArrayView(device.data()));
    const FirmwareHeader fromFile = readFirmwareHeader(device);
    FUZZ_CHECK(h.status == fromFile.status && h.size == fromFile.size);
    FUZZ_CHECK(h.revision == fromFile.revision && h.model == fromFile.model);
    // The image is read from just after the header.
    FUZZ_CHECK(h.status == FirmwareHeader::Status::Complete
                   ? device.pos() == h.size && h.size > 0
                   : h.size >= 0 && h.size <= qint64(size));
    static const QRegularExpression control(
        QStringLiteral("[\\x00-\\x08\\x0b\\x0c\\x0e-\\x1f\\x7f]"));
    for (const QString& field : {h.revision, h.model}) {
        FUZZ_CHECK(field.size() <= kMaxFieldLength && !field.contains(control));
    }
    FUZZ_CHECK(revisionNumber(h.revision) >= 0 && revisionNumber(h.revision) <= 999);
    FUZZ_CHECK(modelCode(h.model) >= 0 && !fileModelCaption(modelCode(h.model)).isEmpty());
    // A header is whole only when its model field is a model number.
    FUZZ_CHECK(h.status != FirmwareHeader::Status::Complete || modelCode(h.model) > 0);
    QString error;
    FUZZ_CHECK(drivesim::parseFirmwareFile(device.data(), &error).has_value() == error.isEmpty());
    return 0;
}
