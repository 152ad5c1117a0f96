#include "CommandLine.h"

#include <QHostAddress>

#include <QCommandLineParser>
#include <QFile>
#include <QRegularExpression>
#include <algorithm>
#include <limits>

#include "FirmwareFile.h"

namespace kestrel::drivesim {

namespace {

const QString kDescription = QStringLiteral(
    "A simulated drive for the Kestrel PRO Firmware Updater.\n"
    "\n"
    "It creates a pseudo-terminal and prints its path on the first line of standard\n"
    "output (map the updater's COM port to it in the settings group [Ports]), and\n"
    "listens for UDP datagrams on 127.0.0.1 (second line: \"udp 127.0.0.1:PORT\"). It\n"
    "answers only the sender, and only on loopback. Every image it receives is\n"
    "compared byte for byte with the image of --firmware; each comparison prints a\n"
    "line starting with \"verdict \". At the end it prints \"result: identical\" and\n"
    "exits 0 only if the last image matched; otherwise \"result: not identical\" or\n"
    "\"result: no image\" and exit code 1 (2: bad arguments or no pty/socket).\n"
    "It ends on SIGTERM/SIGINT, on \"quit\" on standard input, after --timeout,\n"
    "or --linger seconds after the first verdict with --exit-after-verdict.\n"
    "The line \"power-up\" on standard input power-cycles the drive.");

struct OptionText {
    const char* name;
    const char* help;
    const char* value;  // nullptr: a flag
};

const OptionText kOptionTexts[] = {
    {"firmware",
     "Firmware file whose image is expected; its revision is the drive's after a "
     "good download.",
     "file"},
    {"model", "Model code (default 55).", "n"},
    {"revision", "Revision number, 5 for 1.05 (default 5).", "n"},
    {"suffix", "Revision suffix letter for \"SV\" and 0x8E \"y\" (default D).", "letter"},
    {"boot-loader-version",
     "Boot-loader version; 1, 5, 21, 37, 53 take the image at 115200 "
     "bit/s (default 5).",
     "n"},
    {"blank", "No firmware: power up in the boot loader (revision 0xFF).", nullptr},
    {"other-family", "Announce with the other-family packet 0xEF.", nullptr},
    {"quiet-time", "Seconds of silence that end an image (default 1).", "s"},
    {"rx-buffer",
     "Boot loader's receive buffer in bytes (default 2048; the levels then default "
     "to 1/2 and 1/8 of it).",
     "bytes"},
    {"line-rate",
     "Bit rate at which the host's bytes reach the drive, 10 bits a byte, however "
     "fast they are written to the pty (default 0: as they come).",
     "bit/s"},
    {"xoff-level", "Buffer fill that sends XOFF (default 1024).", "bytes"},
    {"xon-level", "Buffer fill at which XON follows (default 256).", "bytes"},
    {"drain-rate", "Bytes per second the boot loader takes from its buffer (default 8000).",
     "rate"},
    {"dot-every", "Send \".\" after every n image bytes; 0 never (default 256).", "n"},
    {"no-dots", "Never send \".\" on either link.", nullptr},
    {"error-at", "Send \"E\" when the image byte at this offset arrives.", "offset"},
    {"stop-at", "Stop answering when the image byte at this offset arrives.", "offset"},
    {"sa-reply", "Text of the reply to \"SA\", CR added (default OK).", "text"},
    {"no-sa-reply", "Do not answer \"SA\".", nullptr},
    {"no-sv-reply", "Do not answer \"SV\".", nullptr},
    {"packet-insert", "Bytes (hex, e.g. 0A) slipped into every packet after its marker.", "hex"},
    {"ignore-bit-rate", "Take every serial byte as sent at the right bit rate.", nullptr},
    {"port", "UDP port on its address (default 7775; 0: any free one, see line 2).", "n"},
    {"address", "Loopback address (127.x.y.z) its UDP side listens on (default 127.0.0.1).",
     "address"},
    {"reply-latency", "Seconds from a datagram to the drive's answer; 0: at once (default 0.0002).",
     "s"},
    {"drop-data", "Fraction of data datagrams lost on the way in (default 0).", "f"},
    {"drop-acks", "Fraction of acknowledgements lost on the way out (default 0).", "f"},
    {"seed", "Seed of the losses (default 1).", "n"},
    {"ignore-count-queries", "Do not answer count queries (type 16).", nullptr},
    {"udp-dot-every", "Send \".\" (type 15) after every n data datagrams; 0 never (default 4).",
     "n"},
    {"udp-error-at", "Answer the data datagram with this index (from 0) with \"E\".", "index"},
    {"udp-stop-at", "Stop answering at the data datagram with this index.", "index"},
    {"build-number", "Build number in the drive-query answer (default 300).", "n"},
    {"mac", "MAC address in the drive-query answer (default 02-00-00-4B-53-37).", "aa-bb-..."},
    {"no-power-up", "Do not send the power-up packet at start.", nullptr},
    {"power-up-delay", "Seconds before the power-up packet at start (default 0).", "s"},
    {"exit-after-verdict", "Exit after the first verdict (and --linger).", nullptr},
    {"linger", "Seconds to stay after the verdict with --exit-after-verdict (default 5).", "s"},
    {"timeout", "Exit after this many seconds.", "s"},
    {"transcript", "Print the transcript to standard error as it grows.", nullptr},
};

void addOptions(QCommandLineParser& parser) {
    parser.setApplicationDescription(kDescription);
    parser.addHelpOption();
    for (const OptionText& option : kOptionTexts) {
        if (option.value) {
            parser.addOption(QCommandLineOption(QString::fromLatin1(option.name),
                                                QString::fromUtf8(option.help),
                                                QString::fromLatin1(option.value)));
        } else {
            parser.addOption(QCommandLineOption(QString::fromLatin1(option.name),
                                                QString::fromUtf8(option.help)));
        }
    }
}

// Reads the options' values, remembering the first one that does not parse.
class Reader {
  public:
    explicit Reader(const QCommandLineParser& parser) : parser_(parser) {}

    bool has(const char* name) const { return parser_.isSet(QString::fromLatin1(name)); }
    QString text(const char* name) const { return parser_.value(QString::fromLatin1(name)); }

    template <typename T>
    void integer(const char* name, T& target, qint64 low, qint64 high) {
        if (!has(name)) {
            return;
        }
        bool ok = false;
        const qint64 v = text(name).toLongLong(&ok, 0);
        if (!ok || v < low || v > high) {
            fail(name, QStringLiteral("a whole number from %1 to %2").arg(low).arg(high));
            return;
        }
        target = static_cast<T>(v);
    }
    void real(const char* name, double& target, double low, double high) {
        if (!has(name)) {
            return;
        }
        bool ok = false;
        const double v = text(name).toDouble(&ok);
        if (!ok || !(v >= low && v <= high)) {
            fail(name, QStringLiteral("a number from %1 to %2").arg(low).arg(high));
            return;
        }
        target = v;
    }
    void fail(const char* name, const QString& expected) {
        if (error.isEmpty()) {
            error = QStringLiteral("--%1: expected %2, got \"%3\"")
                        .arg(QString::fromLatin1(name), expected, text(name));
        }
    }
    QString error;

  private:
    const QCommandLineParser& parser_;
};

bool parseMac(const QString& text, std::array<quint8, 6>& mac) {
    const QStringList parts = text.split(QRegularExpression(QStringLiteral("[-:]")));
    if (parts.size() != 6) {
        return false;
    }
    for (int i = 0; i < 6; ++i) {
        bool ok = false;
        const uint v = parts[i].toUInt(&ok, 16);
        if (!ok || v > 255 || parts[i].isEmpty() || parts[i].size() > 2) {
            return false;
        }
        mac[static_cast<size_t>(i)] = static_cast<quint8>(v);
    }
    return true;
}

void readDriveOptions(Reader& in, DriveOptions& d) {
    in.integer("model", d.modelCode, 0, 255);
    in.integer("revision", d.revision, 0, 255);
    if (in.has("suffix")) {
        const QString s = in.text("suffix");
        if (s.size() != 1 || s[0].unicode() > 255) {
            in.fail("suffix", QStringLiteral("one character"));
        } else {
            d.revisionSuffix = static_cast<char>(s[0].unicode());
        }
    }
    in.integer("boot-loader-version", d.bootLoaderVersion, 0, 255);
    d.blank = in.has("blank");
    d.otherFamily = in.has("other-family");
    in.real("quiet-time", d.quietTime, 0.001, 3600);
    in.integer("rx-buffer", d.rxBufferSize, 1, 1 << 24);
    if (in.has("rx-buffer")) {
        d.xoffLevel = std::max(1, d.rxBufferSize / 2);
        d.xonLevel = d.rxBufferSize / 8;
    }
    in.integer("line-rate", d.lineRate, 0, 10000000);
    in.integer("xoff-level", d.xoffLevel, 1, 1 << 24);
    in.integer("xon-level", d.xonLevel, 0, 1 << 24);
    in.real("drain-rate", d.drainRate, 1e-3, 1e9);
    in.integer("dot-every", d.dotEveryBytes, 0, 1 << 24);
    in.integer("error-at", d.errorAtByte, 0, std::numeric_limits<qint64>::max());
    in.integer("stop-at", d.stopAtByte, 0, std::numeric_limits<qint64>::max());
    if (in.has("sa-reply")) {
        d.saReply = in.text("sa-reply").toLatin1();
    }
    d.replyToSA = !in.has("no-sa-reply");
    d.replyToSV = !in.has("no-sv-reply");
    if (in.has("packet-insert")) {
        const QByteArray hexText = in.text("packet-insert").toLatin1();
        const QByteArray decoded = QByteArray::fromHex(hexText);
        if (decoded.toHex().compare(hexText.toLower().replace(" ", "")) != 0) {
            in.fail("packet-insert", QStringLiteral("hexadecimal bytes such as 0A"));
        }
        d.packetInsert = decoded;
    }
    d.checkBitRate = !in.has("ignore-bit-rate");
    in.integer("port", d.udpPort, 0, 65535);
    in.real("reply-latency", d.replyLatency, 0.0, 10.0);
    in.real("drop-data", d.dropDataFraction, 0.0, 1.0);
    in.real("drop-acks", d.dropAckFraction, 0.0, 1.0);
    in.integer("seed", d.seed, 0, 0xFFFFFFFFLL);
    d.ignoreCountQueries = in.has("ignore-count-queries");
    in.integer("udp-dot-every", d.dotEveryDatagrams, 0, 1 << 24);
    if (in.has("no-dots")) {
        d.dotEveryBytes = 0;
        d.dotEveryDatagrams = 0;
    }
    in.integer("udp-error-at", d.errorAtDatagram, 0, std::numeric_limits<int>::max());
    in.integer("udp-stop-at", d.stopAtDatagram, 0, std::numeric_limits<int>::max());
    in.integer("build-number", d.buildNumber, 0, 0xFFFFFFFFLL);
    if (in.has("mac") && !parseMac(in.text("mac"), d.mac)) {
        in.fail("mac", QStringLiteral("six hexadecimal bytes such as 02-00-00-4B-53-37"));
    }
}

}  // namespace

QString commandLineHelp() {
    QCommandLineParser parser;
    addOptions(parser);
    return parser.helpText();
}

CommandLine parseCommandLine(const QStringList& arguments) {
    CommandLine result;
    QCommandLineParser parser;
    addOptions(parser);
    if (!parser.parse(arguments)) {
        result.error = parser.errorText();
        return result;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        result.helpRequested = true;
        return result;
    }
    if (!parser.positionalArguments().isEmpty()) {
        result.error =
            QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first());
        return result;
    }
    ProgramOptions options;
    Reader in(parser);
    readDriveOptions(in, options.drive);
    options.powerUpAtStart = !in.has("no-power-up");
    in.real("power-up-delay", options.powerUpDelay, 0.0, 3600.0);
    options.exitAfterVerdict = in.has("exit-after-verdict");
    in.real("linger", options.linger, 0.0, 3600.0);
    // A single timer counts milliseconds in an int: at most about 24 days.
    in.real("timeout", options.timeout, 0.001, 2e6);
    options.printTranscript = in.has("transcript");
    if (in.has("address")) {
        options.address = in.text("address");
        const QHostAddress address(options.address);
        if (address.protocol() != QAbstractSocket::IPv4Protocol || !address.isLoopback()) {
            in.fail("address", QStringLiteral("a loopback address such as 127.0.0.2"));
        }
    }
    if (!in.error.isEmpty()) {
        result.error = in.error;
        return result;
    }
    if (const QString why = validateOptions(options.drive); !why.isEmpty()) {
        result.error = why;
        return result;
    }
    if (in.has("firmware")) {
        options.firmwarePath = in.text("firmware");
        QFile file(options.firmwarePath);
        if (!file.open(QIODevice::ReadOnly)) {
            result.error = QStringLiteral("cannot read the firmware file \"%1\": %2")
                               .arg(options.firmwarePath, file.errorString());
            return result;
        }
        options.drive.firmwareFile = file.readAll();
        QString why;
        if (!parseFirmwareFile(options.drive.firmwareFile, &why)) {
            result.error = QStringLiteral("the firmware file \"%1\" is not usable: %2")
                               .arg(options.firmwarePath, why);
            return result;
        }
    }
    result.options = options;
    return result;
}

}  // namespace kestrel::drivesim
