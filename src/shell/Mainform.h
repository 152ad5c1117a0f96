#pragma once

#include <QWidget>
#include <memory>

#include "ethernet/DriveAddress.h"
#include "ethernet/UdpChannel.h"
#include "firmware/FirmwareChooser.h"
#include "platform/Platform.h"
#include "platform/Waits.h"
#include "platform/WindowView.h"
#include "serial/PortManager.h"
#include "serial/SerialExchange.h"
#include "state/DownloadState.h"
#include "state/DriveState.h"
#include "state/FirmwareState.h"
#include "state/SerialState.h"
#include "state/UdpState.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;

namespace kestrel {

// The one window: it owns the controls and the run's state, composes the
// engines and routes the controls' events to them.
class Mainform final : public QWidget, public WindowView {
    Q_OBJECT
  public:
    explicit Mainform(Platform& platform);
    ~Mainform() override;

    void Form_Load();
    void Form_Unload();
    void Quit_Click();
    // A diagnostic hook kept for callers; it discards its text.
    void ShowStatus(const QString& OutString);
    void Delay(double ms) { waits_.Delay(ms); }

    // The run's state, for the engines and for tests.
    SerialState& serialState() { return serial_; }
    DriveState& driveState() { return drive_; }
    FirmwareState& firmwareState() { return firmware_; }
    DownloadState& downloadState() { return download_; }
    UdpState& udpState() { return udp_; }
    PortManager& portManager() { return portManager_; }
    SerialExchange& serialExchange() { return serialExchange_; }
    UdpChannel& udpChannel() { return udpChannel_; }
    DriveAddress& driveAddress() { return driveAddress_; }
    Waits& waits() { return waits_; }

    // WindowView
    QString caption(Label label) const override;
    void setCaption(Label label, const QString& text) override;
    QString counter(Counter counter) const override;
    void setCounter(Counter counter, const QString& text) override;
    bool isEnabled(Button button) const override;
    void setEnabled(Button button, bool enabled) override;
    void appendStatus(const QString& text) override;
    void clearStatus() override;
    QString statusText() const override;
    void setExtraText(const QString& text) override;
    void setProgress(qint64 value, qint64 maximum) override;
    bool isEthernetSelected() const override;
    bool isSerialSelected() const override;
    void selectSerial() override;
    void selectEthernet() override;
    void setEthernetOptionEnabled(bool enabled) override;
    int commListIndex() const override;
    void setCommListIndex(int index) override;
    void setCommListVisible(bool visible) override;
    QString ipText() const override;
    void setIpText(const QString& text) override;
    void setIpVisible(bool visible) override;
    void setPingVisible(bool visible) override;
    QString windowCaption() const override;
    void setWindowCaption(const QString& text) override;

  protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void buildControls();
    void connectControls();
    QLabel* labelFor(Label label) const;
    QLineEdit* counterBox(Counter counter) const;
    QPushButton* button(Button button) const;

    Platform& platform_;
    SerialState serial_;
    DriveState drive_;
    FirmwareState firmware_;
    DownloadState download_;
    UdpState udp_;
    Waits waits_;
    PortManager portManager_;
    SerialExchange serialExchange_;
    FirmwareChooser firmwareChooser_;
    UdpChannel udpChannel_;
    DriveAddress driveAddress_;
    bool unloaded_ = false;

    struct Controls;
    std::unique_ptr<Controls> c_;
};

}  // namespace kestrel
