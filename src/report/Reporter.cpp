#include "Reporter.h"

namespace kestrel {

void Reporter::setDriveRevision(const QString& text) {
    drive_.revision = text;
    observer_.driveChanged(drive_);
}

void Reporter::setDriveModel(const QString& model, const QString& description) {
    drive_.model = model;
    drive_.description = description;
    observer_.driveChanged(drive_);
}

void Reporter::setFileRevision(const QString& text) {
    file_.revision = text;
    observer_.fileChanged(file_);
}

void Reporter::setFileModel(const QString& text) {
    file_.model = text;
    observer_.fileChanged(file_);
}

void Reporter::setFileName(const QString& text) {
    file_.name = text;
    observer_.fileChanged(file_);
}

void Reporter::setCounters(const Counters& counters) {
    counters_ = counters;
    observer_.countersChanged(counters_);
}

void Reporter::allowStartDownload(bool allowed) {
    allowed_.startDownload = allowed;
    publishActions();
}

void Reporter::allowOpenPrograms(bool allowed) {
    allowed_.openPrograms = allowed;
    publishActions();
}

void Reporter::setDownloadRunning(bool running) {
    downloadRunning_ = running;
    publishActions();
}

void Reporter::publishActions() {
    shown_ = downloadRunning_ ? Actions{false, false, false, false} : allowed_;
    observer_.actionsChanged(shown_);
}

void Reporter::setEthernetAllowed(bool allowed) {
    allowed_.chooseEthernet = allowed;
    publishActions();
}

void Reporter::setTitle(const QString& title) {
    title_ = title;
    observer_.titleChanged(title_);
}

void Reporter::showMessage(const QString& text, MessageIcon icon) {
    if (!silenced_) {
        observer_.showMessage(text, icon);
    }
}

}  // namespace kestrel
