#pragma once

#include <QString>

namespace kestrel {

// The window's captions, buttons and status log as the engines see them. The
// main window implements it; the engines never touch a widget.
enum class Label { FileRev, FileModel, FileName, DriveRev, DriveModel, DriveDesc };
enum class Counter { Records, PacketsSent, PacketsAckd, TimeOutAcks };
enum class Button { StartDownload, OpenPrograms, Ping, Quit };

class WindowView {
  public:
    virtual ~WindowView() = default;

    virtual QString caption(Label label) const = 0;
    virtual void setCaption(Label label, const QString& text) = 0;
    virtual QString counter(Counter counter) const = 0;
    virtual void setCounter(Counter counter, const QString& text) = 0;
    virtual bool isEnabled(Button button) const = 0;
    virtual void setEnabled(Button button, bool enabled) = 0;

    // The status log txtScript: text goes in at the caret, replacing the
    // selection; no line end is added.
    virtual void appendStatus(const QString& text) = 0;
    virtual void clearStatus() = 0;
    virtual QString statusText() const = 0;
    // The hidden box eText that the download writes.
    virtual void setExtraText(const QString& text) = 0;

    virtual void setProgress(qint64 value, qint64 maximum) = 0;

    // Link selection: optSerial / optEthernet.
    virtual bool isEthernetSelected() const = 0;
    virtual bool isSerialSelected() const = 0;
    // Selects optSerial; when it was not selected this raises optSerial_Click.
    virtual void selectSerial() = 0;
    // Selects optEthernet; when it was not selected this raises optEthernet_Click.
    virtual void selectEthernet() = 0;
    virtual void setEthernetOptionEnabled(bool enabled) = 0;

    // The port list CommList. Setting the index from code raises
    // CommList_Click when the index changes.
    virtual int commListIndex() const = 0;
    virtual void setCommListIndex(int index) = 0;
    virtual void setCommListVisible(bool visible) = 0;

    // The address box txtIP and the Ping button.
    virtual QString ipText() const = 0;
    virtual void setIpText(const QString& text) = 0;
    virtual void setIpVisible(bool visible) = 0;
    virtual void setPingVisible(bool visible) = 0;

    virtual QString windowCaption() const = 0;
    virtual void setWindowCaption(const QString& text) = 0;
};

}  // namespace kestrel
