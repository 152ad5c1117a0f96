#include "Station.h"

#include <unistd.h>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "StationBoard.h"
#include "UnitRecord.h"
#include "flash/FlashRun.h"
#include "platform/SerialAdapters.h"
#include "platform/SignalWatcher.h"
#include "platform/qt/QtEventPump.h"
#include "platform/qt/QtSerialPort.h"
#include "platform/qt/QtServices.h"
#include "platform/qt/QtUdpHub.h"

namespace kestrel::station {

using flash::ExitCode;
using flash::FlashOptions;

namespace {

// A loop asks an address for its identity (one datagram) once a second while
// no unit answers, and every two seconds while the last unit is still there
// (identity and minor revision: two datagrams): never more than one a second.
constexpr int kPollGapMs = 1000;
constexpr int kPresentGapMs = 2000;
// How often the main thread passes on strangers' datagrams.
constexpr int kStrangerCheckMs = 500;

// Text written through a QTextStream, handed on a line at a time.
class LineDevice final : public QIODevice {
  public:
    explicit LineDevice(std::function<void(const QString&)> onLine) : onLine_(std::move(onLine)) {
        open(QIODevice::WriteOnly);
    }
    ~LineDevice() override {
        if (!pending_.isEmpty()) {
            onLine_(QString::fromUtf8(pending_));
        }
    }

  protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override {
        pending_.append(data, size);
        qsizetype end;
        while ((end = pending_.indexOf('\n')) >= 0) {
            onLine_(QString::fromUtf8(pending_.left(end)));
            pending_.remove(0, end + 1);
        }
        return size;
    }

  private:
    std::function<void(const QString&)> onLine_;
    QByteArray pending_;
};

// The session's reports go to kestrel-flash's console front end (which the
// run reads) and to the station's board.
class StationObserver final : public SessionObserver {
  public:
    StationObserver(flash::ConsoleObserver& console, StationBoard& board, int drive)
        : console_(console), board_(board), drive_(drive) {}
    void statusAppended(const QString& text) override { console_.statusAppended(text); }
    void statusCleared() override { console_.statusCleared(); }
    void driveChanged(const DriveShown& drive) override {
        console_.driveChanged(drive);
        board_.driveShown(drive_, drive);
    }
    void fileChanged(const FileShown& file) override { console_.fileChanged(file); }
    void countersChanged(const Counters& c) override { console_.countersChanged(c); }
    void progressChanged(qint64 value, qint64 maximum) override {
        console_.progressChanged(value, maximum);
        board_.progress(drive_, value, maximum);
    }
    void extraTextChanged(const QString& text) override { console_.extraTextChanged(text); }
    void actionsChanged(const Actions& actions) override { console_.actionsChanged(actions); }
    void linkChanged(Link link) override { console_.linkChanged(link); }
    void portChoiceChanged(int index) override { console_.portChoiceChanged(index); }
    void addressChanged(const QString& address) override { console_.addressChanged(address); }
    void titleChanged(const QString& title) override { console_.titleChanged(title); }
    void showMessage(const QString& text, MessageIcon icon) override {
        console_.showMessage(text, icon);
        // A message the run holds back (Ping's answer, asked for the MAC) is
        // its own business, not the drive's state.
        if (!console_.messagesHeld()) {
            board_.message(drive_, text);
        }
    }
    void sessionEnded() override { console_.sessionEnded(); }

  private:
    flash::ConsoleObserver& console_;
    StationBoard& board_;
    const int drive_;
};

QString fileSha256(const QString& path) {
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly) || !hash.addData(&file)) {
        return {};
    }
    return QString::fromLatin1(hash.result().toHex());
}

// What one unit's run leaves for the board, the record and the summary.
struct UnitEnd {
    ExitCode code = ExitCode::UnknownError;
    bool counts = false;  // a unit was there and its run is recorded
    QJsonObject unit;
};

class Station;

// One drive named on the command line: its thread, and the session running
// in it now (to stop it from the main thread).
struct Slot {
    FlashOptions::Target target;
    QString name;
    QThread* thread = nullptr;
    std::mutex mutex;
    QPointer<QObject> context;  // lives in the drive's thread while a unit runs
    Session* session = nullptr;
};

class Station {
  public:
    Station(const FlashOptions& options, QTextStream& out, QTextStream& err);
    int run();

  private:
    bool prepare();
    void driveLoop(Slot& slot, int index);
    // `probe`: only whether a drive answers, shown nowhere.
    UnitEnd runUnit(Slot& slot, int index, bool probe);
    QJsonObject unitRecord(const Slot& slot, const flash::FlashRun& run, ExitCode code,
                           const QDateTime& started) const;
    void keep(int index, const UnitEnd& end);
    void onSignal();
    void stopSlot(Slot& slot, bool onlyIfWaiting);
    bool pause(int ms);
    static bool deviceThere(const Slot& slot);

    const FlashOptions& options_;
    StationBoard board_;
    UnitRecord record_;
    QtUdpHub hub_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::mutex resultsMutex_;
    QList<QJsonObject> units_;
    QList<ExitCode> codes_;
    std::atomic<bool> ending_{false};
    std::atomic<bool> stopped_{false};
    int signals_ = 0;
    std::mutex pauseMutex_;
    std::condition_variable pauseWake_;
};

StationOutput outputFor(const FlashOptions& options) {
    if (options.json) {
        return StationOutput::Json;
    }
    return ::isatty(STDOUT_FILENO) == 1 ? StationOutput::Terminal : StationOutput::Lines;
}

QStringList namesOf(const FlashOptions& options) {
    QStringList names;
    for (const FlashOptions::Target& target : options.targets) {
        names << FlashOptions::targetName(target);
    }
    return names;
}

Station::Station(const FlashOptions& options, QTextStream& out, QTextStream& err)
    : options_(options), board_(outputFor(options), out, err, namesOf(options)) {
    for (const FlashOptions::Target& target : options.targets) {
        auto slot = std::make_unique<Slot>();
        slot->target = target;
        slot->name = FlashOptions::targetName(target);
        slots_.push_back(std::move(slot));
    }
}

// What must hold before any drive is touched: the record can be written and,
// for Ethernet drives, the one UDP port is ours.
bool Station::prepare() {
    QString error;
    if (!options_.record.isEmpty() && !record_.open(options_.record, &error)) {
        board_.stationLine(QStringLiteral("kestrel-flash: cannot write the record %1: %2")
                               .arg(options_.record, error),
                           true);
        return false;
    }
    const bool ethernet =
        std::any_of(options_.targets.begin(), options_.targets.end(),
                    [](const auto& t) { return t.where == FlashOptions::Where::Ip; });
    if (ethernet && hub_.bind(7777).error != 0) {
        board_.stationLine(QStringLiteral("kestrel-flash: UDP port 7777 cannot be bound; another "
                                          "program (the updater's window?) may hold it"),
                           true);
        return false;
    }
    return true;
}

int Station::run() {
    if (!prepare()) {
        return int(options_.record.isEmpty() || record_.isOpen() ? ExitCode::PortUnusable
                                                                 : ExitCode::RecordUnwritable);
    }
    SignalWatcher signalWatcher([this] { onSignal(); });
    QEventLoop loop;
    int running = int(slots_.size());
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        Slot& slot = *slots_[i];
        slot.thread = QThread::create([this, &slot, i] { driveLoop(slot, int(i)); });
        QObject::connect(slot.thread, &QThread::finished, &loop, [&] {
            if (--running == 0) {
                loop.quit();
            }
        });
        slot.thread->start();
    }
    QTimer strangers;
    QObject::connect(&strangers, &QTimer::timeout, [this] {
        for (const QString& sender : hub_.takeStrangers()) {
            board_.stationLine(
                QStringLiteral("Ignored a datagram from %1: no drive of this station is there")
                    .arg(sender),
                false);
        }
    });
    strangers.start(kStrangerCheckMs);
    loop.exec();
    for (const auto& slot : slots_) {
        slot->thread->wait();
        delete slot->thread;
    }
    const ExitCode code = stationExitCode(codes_, int(slots_.size()), stopped_);
    board_.finish(units_, int(code), flash::outcomeName(code));
    return int(code);
}

void Station::driveLoop(Slot& slot, int index) {
    const bool ethernet = slot.target.where == FlashOptions::Where::Ip;
    bool unitThere = false;  // a loop over Ethernet: the last unit has not left yet
    bool deviceGone = false;
    do {
        if (options_.loop && !deviceThere(slot)) {
            // An adapter unplugged between units: wait for it, said once.
            if (!std::exchange(deviceGone, true)) {
                board_.printed(index, QStringLiteral("waiting for the device to appear"), false);
            }
            pause(kPollGapMs);
            continue;
        }
        deviceGone = false;
        if (unitThere) {
            // The same unit still answers: it is taken again only once it has
            // left and a unit answers anew.
            unitThere = runUnit(slot, index, true).code != ExitCode::NoDrive;
            pause(kPresentGapMs);
            continue;
        }
        board_.unitStarted(index);
        const UnitEnd end = runUnit(slot, index, false);
        if (end.counts) {
            keep(index, end);
        }
        unitThere = options_.loop && ethernet && end.code != ExitCode::NoDrive &&
                    end.code != ExitCode::Stopped;
        if (options_.loop && !end.counts) {
            pause(kPollGapMs);
        }
    } while (options_.loop && !ending_);
}

bool Station::deviceThere(const Slot& slot) {
    if (slot.target.where != FlashOptions::Where::Device) {
        return true;
    }
    const PortName port = resolvePortName(slot.target.device, sysfsRoot(), devRoot());
    return !port.device.isEmpty() && QFileInfo::exists(port.device);
}

// The record first: whoever sees a unit's end shown may rely on its line
// being on the disk.
void Station::keep(int index, const UnitEnd& end) {
    QString error;
    if (record_.isOpen() && end.counts && !record_.append(end.unit, &error)) {
        board_.stationLine(QStringLiteral("kestrel-flash: the record %1 could not be written: %2")
                               .arg(options_.record, error),
                           true);
    }
    board_.unitEnded(index, end.unit);
    std::lock_guard lock(resultsMutex_);
    units_ << end.unit;
    codes_ << end.code;
}

UnitEnd Station::runUnit(Slot& slot, int index, bool probe) {
    FlashOptions options = options_.forTarget(slot.target);
    if (options_.loop && options.serial()) {
        options.waitSeconds = 3600;  // the next unit comes when it comes
    }
    if (probe) {
        options.action = FlashOptions::Action::Identify;
        options.file.clear();
        options.firmwareDir.clear();
    }
    LineDevice outLines([&](const QString& l) {
        if (!probe) {
            board_.printed(index, l, false);
        }
    });
    LineDevice errLines([&](const QString& l) {
        if (!probe) {
            board_.printed(index, l, true);
        }
    });
    QTextStream out(&outLines);
    QTextStream err(&errLines);
    QtSettingsStore realSettings;  // one per thread: it notes its failures in itself
    flash::RunSettings settings(realSettings);
    QtClock clock;
    QtEventPump pump(clock);
    QtSerialPort serial(settings);
    HubUdpSocket udp(hub_, slot.target.address);
    flash::NoFileDialog fileDialog;
    Platform platform{clock, pump, serial, udp, fileDialog, settings};
    flash::ConsoleObserver console(out, err);
    // Traces would only crowd a board or the JSON events: lines only.
    if (outputFor(options_) == StationOutput::Lines || options_.quiet) {
        console.setVerbosity(flash::verbosityOf(options_));
    }
    StationObserver tee(console, board_, index);
    Session session(platform, probe ? static_cast<SessionObserver&>(console) : tee);
    QObject context;
    {
        std::lock_guard lock(slot.mutex);
        slot.context = &context;
        slot.session = &session;
    }
    if (options_.loop && ending_) {
        // The loop ended while this unit was being set up: take no new one.
        std::lock_guard lock(slot.mutex);
        slot.context = nullptr;
        slot.session = nullptr;
        return {ExitCode::NoDrive, false, {}};
    }
    const QDateTime started = QDateTime::currentDateTimeUtc();
    flash::FlashRun run(options, session, console, settings, clock);
    const ExitCode code = run.run();
    {
        std::lock_guard lock(slot.mutex);
        slot.context = nullptr;
        slot.session = nullptr;
    }
    if (code == ExitCode::Stopped) {
        stopped_ = true;
    }
    out.flush();
    err.flush();
    const QJsonObject unit = unitRecord(slot, run, code, started);
    // In a loop, waiting in vain, or finding the unit already current, is no
    // unit run; a download that began is one, however it ended.
    const bool downloaded = run.summary(code).contains("end");
    const bool nothingThere =
        probe || (options_.loop && !downloaded &&
                  (code == ExitCode::NoDrive || run.alreadyCurrent() || code == ExitCode::Stopped ||
                   code == ExitCode::PortUnusable));
    return {code, !nothingThere, unit};
}

QJsonObject Station::unitRecord(const Slot& slot, const flash::FlashRun& run, ExitCode code,
                                const QDateTime& started) const {
    const QJsonObject summary = run.summary(code);
    const QJsonObject before = summary.value("driveBefore").toObject();
    const QJsonObject after =
        summary.value("driveAfter").toObject(summary.value("drive").toObject());
    return {
        {"time", started.toString(Qt::ISODateWithMs)},
        {"drive", slot.name},
        {"model", after.value("model").toString()},
        {"mac", run.mac()},
        {"revisionBefore", before.value("revision").toString(after.value("revision").toString())},
        {"revisionAfter",
         summary.contains("driveAfter") ? after.value("revision").toString() : QString()},
        {"file", QFileInfo(run.chosenFile()).fileName()},
        {"sha256", fileSha256(run.chosenFile())},
        {"bytesSent", summary.value("bytesSent").toInteger()},
        {"seconds", std::round(summary.value("seconds").toDouble() * 1000) / 1000},
        {"outcome", summary.value("outcome").toString()},
        {"exitCode", int(code)},
    };
}

// A loop ends softly at the first signal: no new unit, and the downloads in
// flight run to their end (a drive cut off mid-image must be power-cycled);
// the second signal stops them too. Without a loop a signal stops everything,
// as it does for one drive.
void Station::onSignal() {
    ++signals_;
    ending_ = true;
    pauseWake_.notify_all();
    const bool soft = options_.loop && signals_ == 1;
    if (soft) {
        board_.stationLine(QStringLiteral("kestrel-flash: ending the loop once the downloads in "
                                          "flight have ended (Ctrl-C again stops them)"),
                           true);
    }
    for (const auto& slot : slots_) {
        stopSlot(*slot, soft);
    }
}

void Station::stopSlot(Slot& slot, bool onlyIfWaiting) {
    std::lock_guard lock(slot.mutex);
    if (!slot.context) {
        return;
    }
    Session* session = slot.session;
    QMetaObject::invokeMethod(
        slot.context,
        [session, onlyIfWaiting] {
            if (!onlyIfWaiting || !session->report().downloadRunning()) {
                session->Quit_Click();
            }
        },
        Qt::QueuedConnection);
}

// Sleeps without spinning; a signal ends it at once. False when it was ended.
bool Station::pause(int ms) {
    std::unique_lock lock(pauseMutex_);
    return !pauseWake_.wait_for(lock, std::chrono::milliseconds(ms),
                                [this] { return bool(ending_); });
}

}  // namespace

ExitCode stationExitCode(const QList<ExitCode>& units, int drives, bool stopped) {
    if (drives == 1 && units.size() == 1) {
        return units.first();
    }
    if (stopped && units.contains(ExitCode::Stopped)) {
        return ExitCode::Stopped;
    }
    const bool allDone =
        std::all_of(units.begin(), units.end(), [](ExitCode c) { return c == ExitCode::Done; });
    return allDone ? ExitCode::Done : ExitCode::SomeDrivesFailed;
}

int runStation(const FlashOptions& options, QTextStream& out, QTextStream& err) {
    Station station(options, out, err);
    return station.run();
}

}  // namespace kestrel::station
