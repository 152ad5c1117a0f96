// The firmware header readers, the host's and the simulated drive's, fed
// arbitrary files: the in-memory and the file reading must agree, and the
// numbers taken from the fields must stay in range.
#include <QBuffer>

#include "FirmwareFile.h"
#include "FuzzInput.h"
#include "firmware/FirmwareHeader.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray file(reinterpret_cast<const char*>(data), qsizetype(size));
    const FirmwareHeader fromBytes = readFirmwareHeader(QByteArrayView(file));
    QBuffer device;
    device.setData(file);
    FUZZ_CHECK(device.open(QIODevice::ReadOnly));
    const FirmwareHeader fromFile = readFirmwareHeader(device);

    FUZZ_CHECK(fromBytes.status == fromFile.status && fromBytes.size == fromFile.size);
    FUZZ_CHECK(fromBytes.revision == fromFile.revision && fromBytes.model == fromFile.model);
    FUZZ_CHECK(fromBytes.size >= 0 && fromBytes.size <= file.size());
    FUZZ_CHECK(fromBytes.revision.size() <= kMaxFieldLength &&
               fromBytes.model.size() <= kMaxFieldLength);
    if (fromFile.status == FirmwareHeader::Status::Complete) {
        // The image is read from just after the header.
        FUZZ_CHECK(device.pos() == fromFile.size && fromFile.size > 0);
    }
    const int revision = revisionNumber(fromBytes.revision);
    FUZZ_CHECK(revision >= 0 && revision <= 999);
    const int model = modelCode(fromBytes.model);
    FUZZ_CHECK(model >= 0);
    FUZZ_CHECK(!fileModelCaption(model).isEmpty());

    QString error;
    const auto drives = drivesim::parseFirmwareFile(file, &error);
    FUZZ_CHECK(drives.has_value() != !error.isEmpty());
    if (drives) {
        FUZZ_CHECK(drives->imageOffset >= 0 && drives->imageOffset <= file.size());
        FUZZ_CHECK(drives->image == file.mid(drives->imageOffset));
    }
    return 0;
}
