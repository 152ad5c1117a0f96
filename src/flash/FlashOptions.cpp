#include "FlashOptions.h"

#include <QCommandLineParser>
#include <QRegularExpression>

#include "ethernet/AddressRules.h"

namespace kestrel::flash {

namespace {

constexpr double kMaxWaitSeconds = 3600;

struct ExitCodeText {
    ExitCode code;
    const char* name;
    const char* meaning;
};

const ExitCodeText kExitCodes[] = {
    {ExitCode::Done, "done", "done"},
    {ExitCode::Stopped, "stopped", "stopped by SIGINT or SIGTERM before it finished"},
    {ExitCode::BadArguments, "bad-arguments", "bad arguments"},
    {ExitCode::PortUnusable, "port-unusable", "the serial port or the UDP socket cannot be used"},
    {ExitCode::NoDrive, "no-drive", "no drive answered"},
    {ExitCode::FileUnusable, "file-unusable", "--identify: the firmware file cannot be read"},
    {ExitCode::FileDoesNotFit, "file-does-not-fit", "the firmware file does not fit the drive"},
    {ExitCode::NoFile, "no-file", "no firmware file was given (FILE was \"\")"},
    {ExitCode::FileNotFound, "file-not-found", "the firmware file could not be found"},
    {ExitCode::FileEmpty, "file-empty", "the firmware file was empty"},
    {ExitCode::FileUnreadable, "file-unreadable", "the firmware file's header cannot be read"},
    {ExitCode::PortNotOpen, "port-not-open", "the serial port was not open"},
    {ExitCode::DriveError, "drive-error", "the drive sent back an error code"},
    {ExitCode::NoCountReply, "no-count-reply",
     "Ethernet: no acknowledgement and no packet count from the drive"},
    {ExitCode::DroppedFiveTimes, "dropped-five-times",
     "Ethernet: the same data packet was dropped five times"},
    {ExitCode::SendTimeout, "send-timeout", "serial: timeout waiting to send data to the drive"},
    {ExitCode::DriveNotResponding, "drive-not-responding",
     "the drive is not responding to the download"},
    {ExitCode::NotSaved, "not-saved", "serial: the drive did not save the download"},
    {ExitCode::NotConfirmed, "not-confirmed",
     "Ethernet: after the download the drive did not report every data packet or\n"
     "      did not answer with the file's revision (--simulate: any link, the\n"
     "      simulated drive did not receive the image byte for byte)"},
    {ExitCode::UnknownError, "unknown-error", "an unknown error (e.g. the file shrank)"},
    {ExitCode::PortNotRestored, "port-not-restored",
     "the serial port could not be set back to 9600 bit/s (it wins over the\n"
     "      download's own failure; --json tells both)"},
    {ExitCode::RevisionNotConfirmed, "revision-not-confirmed",
     "serial: the drive saved the download but reports no revision, or another\n"
     "      than the firmware file's, afterwards"},
    {ExitCode::UnknownModel, "unknown-model",
     "the firmware file is for a model this tool does not know; --allow-unknown-model\n"
     "      loads it anyway"},
    {ExitCode::SomeDrivesFailed, "some-drives-failed",
     "station: at least one of several drives did not succeed (each drive's own code\n"
     "      is in the summary, --json and --record)"},
    {ExitCode::RecordUnwritable, "record-unwritable",
     "station: the --record file cannot be written; no drive was touched"},
};

const char* const kUsage =
    "Usage:\n"
    "  kestrel-flash (--port DEVICE | --com N) [--wait SECONDS] FILE\n"
    "  kestrel-flash --ip ADDRESS FILE\n"
    "  kestrel-flash --simulate [--ip ADDRESS] [FILE]\n"
    "  kestrel-flash (--port DEVICE | --com N) --identify [--wait SECONDS] [FILE]\n"
    "  kestrel-flash --ip ADDRESS --identify [FILE]\n"
    "  kestrel-flash --ip ADDRESS --ping\n"
    "  kestrel-flash --list-ports\n"
    "  kestrel-flash DRIVE... [--loop] [--record FILE] (FILE | --firmware-dir DIR)\n"
    "  kestrel-flash DRIVE... --identify [--firmware-dir DIR]\n"
    "  kestrel-flash --help | --version\n"
    "\n"
    "Downloads the firmware FILE into a Kestrel PRO drive on a serial line or over\n"
    "Ethernet, exactly as the updater's \"Download to Drive...\" does. On a serial\n"
    "line the drive announces itself when it powers up: switch it on (or\n"
    "power-cycle it) while kestrel-flash waits. Over Ethernet the download asks\n"
    "the drive who it is. --identify only shows the drive (with FILE: the file's\n"
    "revision and model and whether it fits the drive). Status text goes to\n"
    "standard output as it arrives; each message the window would show in a box\n"
    "goes to standard error. The progress is a bar on a terminal, else a line\n"
    "\"progress N%\" every 10 %.\n"
    "The window's remembered settings are read (the [Ports] mapping) but never\n"
    "changed.\n"
    "\n"
    "A station: --port, --com and --ip may be given several times (DRIVE...), and\n"
    "every drive named is flashed at once, each exactly as it would be alone. On a\n"
    "terminal each drive has a line redrawn in place and a table ends the run;\n"
    "otherwise each line starts with the drive's name; --json prints one object per\n"
    "event and a summary last.\n"
    "\n"
    "Options:\n"
    "  -p, --port DEVICE the serial device, e.g. /dev/ttyUSB0 (COM1 stands for it)\n"
    "  --com N           COM port N (1-8) as the window maps it: /dev/ttyS<N-1>\n"
    "                    unless [Ports] in the settings maps it elsewhere\n"
    "  --ip ADDRESS      the drive's IPv4 address (UDP, local port 7777)\n"
    "  --identify        show the drive's model and revision\n"
    "  --wait SECONDS    how long to wait for a serial drive to announce itself\n"
    "                    (default 10)\n"
    "  --ping            ask the drive at --ip for its build number and MAC\n"
    "  -l, --list-ports  COM1..COM8 with their devices, and the serial devices\n"
    "                    found, with whether you may open them\n"
    "  --allow-unknown-model\n"
    "                    load FILE also when its model number is one this tool does\n"
    "                    not know (in no row of its family table): it then goes into\n"
    "                    any drive, unchecked, as the window lets it\n"
    "  --simulate        a simulated drive (model 55, revision 1.05) in this process,\n"
    "                    on COM1 or at --ip ADDRESS; without FILE a sample firmware\n"
    "                    file (revision 1.06, 8 KiB) is made in a temporary folder\n"
    "  --loop            station: keep going; each serial port takes the next unit\n"
    "                    that powers up, each address the next unit that answers\n"
    "                    (asked once a second). A unit that already has the file's\n"
    "                    revision is left alone. Ctrl-C ends the loop once the\n"
    "                    downloads in flight have ended; a second Ctrl-C stops them\n"
    "  --firmware-dir DIR  instead of FILE: for each drive the file in DIR of the\n"
    "                    highest revision that fits it (with --identify: say which)\n"
    "  --record FILE     append one line per unit run to FILE (.csv or .jsonl): time,\n"
    "                    drive, model, MAC, revisions, file and SHA-256, bytes,\n"
    "                    seconds, outcome and exit code; each line flushed to disk\n"
    "  --json            end with one JSON summary object on standard output (the\n"
    "                    status text then goes to standard error): outcome, message,\n"
    "                    drive before and after, file, bytes sent, resends, seconds\n"
    "  -q, --quiet       only messages, errors and results: no status text, no progress\n"
    "  -v, --verbose     also every command sent to the drive and its reply, with the\n"
    "                    seconds since the start, on standard error\n"
    "  -h, --help        this text\n"
    "  -V, --version     the version\n"
    "\n"
    "Exit codes:\n";

bool integerIn(const QString& text, int low, int high, int& value) {
    bool ok = false;
    value = text.toInt(&ok);
    return ok && value >= low && value <= high;
}

bool ipv4Address(const QString& text) {
    static const QRegularExpression dotted(QStringLiteral("^\\d{1,3}(\\.\\d{1,3}){3}$"));
    return dotted.match(text).hasMatch() && ValidIP(text);
}

// The options a drive can be named by may come several times (a station);
// any other only once.
QString checkOnce(const QCommandLineParser& parser, FlashOptions&) {
    static const QStringList repeatable{"p", "port", "com", "ip"};
    for (const QString& name : parser.optionNames()) {
        if (!repeatable.contains(name) && parser.optionNames().count(name) > 1) {
            return QStringLiteral("--%1 given more than once").arg(name);
        }
    }
    return QString();
}

QString readTarget(const QString& option, const QString& value, FlashOptions::Target& t) {
    if (option == QLatin1String("port")) {
        t = {FlashOptions::Where::Device, value, 1, {}};
        return value.isEmpty() ? QStringLiteral("--port: expected a device such as /dev/ttyUSB0")
                               : QString();
    }
    if (option == QLatin1String("com")) {
        t.where = FlashOptions::Where::Com;
        return integerIn(value, 1, 8, t.comPort)
                   ? QString()
                   : QStringLiteral("--com: expected a port number from 1 to 8, got \"%1\"")
                         .arg(value);
    }
    t = {FlashOptions::Where::Ip, {}, 0, value};
    return ipv4Address(value)
               ? QString()
               : QStringLiteral("--ip: expected an address such as 192.168.0.20, got \"%1\"")
                     .arg(value);
}

// Every drive named; the first stands in the single-drive fields.
QString readLink(const QCommandLineParser& parser, FlashOptions& o) {
    for (const char* option : {"port", "com", "ip"}) {
        // QCommandLineParser gives -p's values under either name.
        for (const QString& value : parser.values(QLatin1String(option))) {
            FlashOptions::Target target;
            if (const QString error = readTarget(QLatin1String(option), value, target);
                !error.isEmpty()) {
                return error;
            }
            if (o.targets.contains(target)) {
                return QStringLiteral("--%1 %2 given twice").arg(QLatin1String(option), value);
            }
            o.targets << target;
        }
    }
    const bool serial = parser.isSet(QStringLiteral("port")) || parser.isSet(QStringLiteral("com"));
    if (o.simulate && serial) {
        return QStringLiteral(
            "--simulate brings its own serial line on COM1: give no --port or --com (--ip "
            "ADDRESS simulates the drive on Ethernet)");
    }
    if (o.simulate && o.targets.isEmpty()) {
        o.targets << FlashOptions::Target{FlashOptions::Where::Com, {}, 1, {}};
    }
    if (!o.targets.isEmpty()) {
        const FlashOptions::Target& first = o.targets.first();
        o.where = first.where;
        o.device = first.device;
        o.comPort = first.comPort;
        o.address = first.address;
    }
    return QString();
}

// What a station may do: download or identify, each drive on its own.
QString readStation(const QCommandLineParser& parser, FlashOptions& o) {
    o.loop = parser.isSet(QStringLiteral("loop"));
    o.firmwareDir = parser.value(QStringLiteral("firmware-dir"));
    o.record = parser.value(QStringLiteral("record"));
    if (parser.isSet(QStringLiteral("firmware-dir")) && o.firmwareDir.isEmpty()) {
        return QStringLiteral("--firmware-dir: expected a folder");
    }
    if (parser.isSet(QStringLiteral("record")) && o.record.isEmpty()) {
        return QStringLiteral("--record: expected a file ending in .csv or .jsonl");
    }
    if (!o.record.isEmpty() && !o.record.endsWith(QLatin1String(".csv")) &&
        !o.record.endsWith(QLatin1String(".jsonl"))) {
        return QStringLiteral("--record: the file's name must end in .csv or .jsonl, got \"%1\"")
            .arg(o.record);
    }
    if (!o.firmwareDir.isEmpty() && o.fileGiven) {
        return QStringLiteral("give either FILE or --firmware-dir DIR, not both");
    }
    if (o.station() && o.simulate) {
        return QStringLiteral(
            "--simulate runs one drive: no --loop, --record, --firmware-dir "
            "or several drives");
    }
    return QString();
}

QString readWait(const QCommandLineParser& parser, FlashOptions& o) {
    if (!parser.isSet(QStringLiteral("wait"))) {
        return QString();
    }
    const QString text = parser.value(QStringLiteral("wait"));
    bool ok = false;
    o.waitSeconds = text.toDouble(&ok);
    if (!ok || !(o.waitSeconds > 0 && o.waitSeconds <= kMaxWaitSeconds)) {
        return QStringLiteral("--wait: expected seconds above 0 and up to %1, got \"%2\"")
            .arg(kMaxWaitSeconds)
            .arg(text);
    }
    return QString();
}

// Which action the flags ask for, and whether the rest of the line fits it.
QString readAction(const QCommandLineParser& parser, FlashOptions& o) {
    const bool identify = parser.isSet(QStringLiteral("identify"));
    const bool ping = parser.isSet(QStringLiteral("ping"));
    const bool list = parser.isSet(QStringLiteral("list-ports"));
    if (int(identify) + int(ping) + int(list) > 1) {
        return QStringLiteral("give only one of --identify, --ping and --list-ports");
    }
    const bool linked = o.where != FlashOptions::Where::None;
    if (list) {
        o.action = FlashOptions::Action::ListPorts;
        return linked || o.fileGiven || o.simulate || o.station()
                   ? QStringLiteral(
                         "--list-ports takes no port, address, FILE, station option "
                         "or --simulate")
                   : QString();
    }
    if (ping) {
        o.action = FlashOptions::Action::Ping;
        if (o.where != FlashOptions::Where::Ip) {
            return QStringLiteral("--ping asks over Ethernet: give --ip ADDRESS");
        }
        if (o.station()) {
            return QStringLiteral("--ping asks one drive: one --ip, no station option");
        }
        return o.fileGiven ? QStringLiteral("--ping takes no FILE") : QString();
    }
    if (!identify && !o.fileGiven && !o.simulate && o.firmwareDir.isEmpty()) {
        return QStringLiteral(
            "nothing to do: give a FILE, --firmware-dir, --identify, --ping, --list-ports or "
            "--simulate");
    }
    if (identify && o.loop) {
        return QStringLiteral("--loop downloads: give FILE or --firmware-dir, not --identify");
    }
    o.action = identify ? FlashOptions::Action::Identify : FlashOptions::Action::Download;
    return linked ? QString() : QStringLiteral("give the drive's link: --port, --com or --ip");
}

void addOptions(QCommandLineParser& parser) {
    parser.addOptions({
        {{QStringLiteral("p"), QStringLiteral("port")}, QString(), QStringLiteral("device")},
        {QStringLiteral("com"), QString(), QStringLiteral("n")},
        {QStringLiteral("ip"), QString(), QStringLiteral("address")},
        {QStringLiteral("wait"), QString(), QStringLiteral("seconds")},
        {QStringLiteral("identify"), QString()},
        {QStringLiteral("ping"), QString()},
        {{QStringLiteral("l"), QStringLiteral("list-ports")}, QString()},
        {{QStringLiteral("q"), QStringLiteral("quiet")}, QString()},
        {{QStringLiteral("v"), QStringLiteral("verbose")}, QString()},
        {QStringLiteral("json"), QString()},
        {QStringLiteral("simulate"), QString()},
        {QStringLiteral("allow-unknown-model"), QString()},
        {QStringLiteral("loop"), QString()},
        {QStringLiteral("firmware-dir"), QString(), QStringLiteral("dir")},
        {QStringLiteral("record"), QString(), QStringLiteral("file")},
        {{QStringLiteral("h"), QStringLiteral("help")}, QString()},
        {{QStringLiteral("V"), QStringLiteral("version")}, QString()},
    });
}

}  // namespace

QString outcomeName(ExitCode code) {
    for (const ExitCodeText& row : kExitCodes) {
        if (row.code == code) {
            return QString::fromLatin1(row.name);
        }
    }
    return QStringLiteral("unknown");
}

QString flashHelpText() {
    QString text = QString::fromLatin1(kUsage);
    for (const ExitCodeText& row : kExitCodes) {
        text += QStringLiteral("  %1  %2\n")
                    .arg(int(row.code), 2)
                    .arg(QString::fromLatin1(row.meaning));
    }
    text += QStringLiteral(
        "\nA serial port that you may not open (permission denied) needs membership of the\n"
        "group that owns it; on Debian: sudo adduser $USER dialout, then log in again.\n");
    return text;
}

FlashOptions FlashOptions::forTarget(const Target& target) const {
    FlashOptions one = *this;
    one.where = target.where;
    one.device = target.device;
    one.comPort = target.comPort;
    one.address = target.address;
    one.targets = {target};
    return one;
}

QString FlashOptions::targetName(const Target& target) {
    switch (target.where) {
        case Where::Device:
            return target.device;
        case Where::Com:
            return QStringLiteral("COM%1").arg(target.comPort);
        default:
            return target.address;
    }
}

ParsedArguments parseFlashArguments(const QStringList& arguments) {
    QCommandLineParser parser;
    addOptions(parser);
    if (!parser.parse(arguments)) {
        return {std::nullopt, parser.errorText()};
    }
    FlashOptions o;
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("version"))) {
        o.action = parser.isSet(QStringLiteral("help")) ? FlashOptions::Action::Help
                                                        : FlashOptions::Action::Version;
        return {o, QString()};
    }
    const QStringList files = parser.positionalArguments();
    if (files.size() > 1) {
        return {std::nullopt, QStringLiteral("give at most one FILE, got \"%1\" and \"%2\"")
                                  .arg(files.at(0), files.at(1))};
    }
    o.file = files.value(0);
    o.fileGiven = !files.isEmpty();
    o.json = parser.isSet(QStringLiteral("json"));
    o.simulate = parser.isSet(QStringLiteral("simulate"));
    o.allowUnknownModel = parser.isSet(QStringLiteral("allow-unknown-model"));
    o.quiet = parser.isSet(QStringLiteral("quiet"));
    o.verbose = parser.isSet(QStringLiteral("verbose"));
    if (o.quiet && o.verbose) {
        return {std::nullopt, QStringLiteral("give either --quiet or --verbose")};
    }
    using Reader = QString (*)(const QCommandLineParser&, FlashOptions&);
    for (Reader read : {checkOnce, readLink, readWait, readStation, readAction}) {
        if (const QString error = read(parser, o); !error.isEmpty()) {
            return {std::nullopt, error};
        }
    }
    return {o, QString()};
}

}  // namespace kestrel::flash
