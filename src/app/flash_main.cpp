// kestrel-flash: the updater's core from a terminal.
#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <cstdio>

#include "flash/FlashOptions.h"
#include "flash/FlashRun.h"
#include "platform/AppInfo.h"
#include "station/Station.h"

int main(int argc, char* argv[]) {
    using namespace kestrel::flash;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestrel-flash"));
    QTextStream out(stdout);
    QTextStream err(stderr);

    const ParsedArguments parsed = parseFlashArguments(QCoreApplication::arguments());
    if (!parsed.options) {
        err << "kestrel-flash: " << parsed.error << "\nTry --help.\n";
        // A script that asked for JSON reads stdout: it gets its object there too.
        if (QCoreApplication::arguments().contains(QStringLiteral("--json"))) {
            out << QJsonDocument(QJsonObject{{"exitCode", int(ExitCode::BadArguments)},
                                             {"outcome", outcomeName(ExitCode::BadArguments)},
                                             {"error", parsed.error}})
                       .toJson();
        }
        return int(ExitCode::BadArguments);
    }
    switch (parsed.options->action) {
        case FlashOptions::Action::Help:
            out << flashHelpText();
            return int(ExitCode::Done);
        case FlashOptions::Action::Version:
            out << "kestrel-flash " << kestrel::AppInfo::major() << '.' << kestrel::AppInfo::minor()
                << '.' << kestrel::AppInfo::revision() << " (" << kestrel::AppInfo::title()
                << ")\n";
            return int(ExitCode::Done);
        default:
            return parsed.options->station()
                       ? kestrel::station::runStation(*parsed.options, out, err)
                       : runFlash(*parsed.options, out, err);
    }
}
