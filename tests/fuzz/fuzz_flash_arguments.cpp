// kestrel-flash's argument parser: arguments separated by NUL bytes, as in
// argv. Whatever it accepts must make a run the program can carry out.
#include "FuzzInput.h"

using namespace kestrel::flash;
using Action = FlashOptions::Action;
using Where = FlashOptions::Where;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString line = QString::fromUtf8(FuzzInput{data, size}.take(size));
    const ParsedArguments parsed =
        parseFlashArguments(QStringList{QStringLiteral("kestrel-flash")} +
                            (line.isEmpty() ? QStringList() : line.split(QChar(0))));
    // A refused line leaves nothing to check: the default options only ask for help.
    const FlashOptions o = parsed.options.value_or(FlashOptions());
    if (o.action == Action::Help || o.action == Action::Version) {
        return 0;
    }
    FUZZ_CHECK(o.action == Action::ListPorts ? o.where == Where::None && !o.fileGiven && !o.simulate
                                             : o.where != Where::None);
    FUZZ_CHECK(o.action != Action::Download || o.fileGiven || o.simulate);
    FUZZ_CHECK(o.action != Action::Ping || (o.where == Where::Ip && !o.fileGiven));
    FUZZ_CHECK(o.where != Where::Com || (o.comPort >= 1 && o.comPort <= 8));
    FUZZ_CHECK(o.where != Where::Device || (!o.device.isEmpty() && o.comPort == 1));
    FUZZ_CHECK(o.where != Where::Ip || kestrel::ValidIP(o.address));
    FUZZ_CHECK(!o.simulate || o.where == Where::Ip || o.comPort == 1);
    return 0;
}
