// kestrel-flash's argument parser: arguments separated by NUL bytes, as in
// argv. Whatever it accepts must make a run the program can carry out.
#include "FuzzInput.h"
#include "ethernet/AddressRules.h"
#include "flash/FlashOptions.h"

using namespace kestrel::flash;

namespace {

void checkOptions(const FlashOptions& o) {
    using Action = FlashOptions::Action;
    using Link = FlashOptions::Link;
    FUZZ_CHECK(o.waitSeconds > 0 && o.waitSeconds <= 3600);
    switch (o.action) {
        case Action::Download:
        case Action::Identify:
            FUZZ_CHECK(o.link != Link::None);
            FUZZ_CHECK(o.action == Action::Identify || o.fileGiven || o.simulate);
            break;
        case Action::Ping:
            FUZZ_CHECK(o.link == Link::Ip && !o.fileGiven);
            break;
        case Action::ListPorts:
            FUZZ_CHECK(o.link == Link::None && !o.fileGiven && !o.simulate);
            break;
        case Action::Help:
        case Action::Version:
            return;
    }
    FUZZ_CHECK(o.link != Link::Com || (o.comPort >= 1 && o.comPort <= 8));
    FUZZ_CHECK(o.link != Link::Device || (!o.device.isEmpty() && o.comPort == 1));
    FUZZ_CHECK(o.link != Link::Ip || kestrel::ValidIP(o.address));
    FUZZ_CHECK(!o.simulate || o.link == Link::Ip || o.comPort == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString line = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    QStringList arguments{QStringLiteral("kestrel-flash")};
    if (!line.isEmpty()) {
        arguments += line.split(QChar(0));
    }
    const ParsedArguments parsed = parseFlashArguments(arguments);
    FUZZ_CHECK(parsed.options.has_value() == parsed.error.isEmpty());
    if (parsed.options) {
        checkOptions(*parsed.options);
    }
    return 0;
}
