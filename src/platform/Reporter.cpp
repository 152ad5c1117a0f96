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
    actions_.startDownload = allowed;
    observer_.actionsChanged(actions_);
}

void Reporter::allowOpenPrograms(bool allowed) {
    actions_.openPrograms = allowed;
    observer_.actionsChanged(actions_);
}

void Reporter::setLink(Link link) {
    link_ = link;
    observer_.linkChanged(link_);
}

void Reporter::setPortChoice(int index) {
    portChoice_ = index;
    observer_.portChoiceChanged(index);
}

void Reporter::setAddress(const QString& address) {
    address_ = address;
    observer_.addressChanged(address_);
}

void Reporter::setEthernetAllowed(bool allowed) {
    ethernetAllowed_ = allowed;
    observer_.ethernetAllowedChanged(allowed);
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
