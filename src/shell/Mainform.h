#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>

#include "platform/Platform.h"
#include "report/SessionObserver.h"
#include "session/Session.h"

class QMessageBox;

namespace kestrel {

// The one window: it builds the controls, presents what the session reports
// and turns the controls' events into calls on the session. It holds none of
// the system's state.
class Mainform final : public QWidget, public SessionObserver {
    Q_OBJECT
  public:
    explicit Mainform(Platform& platform);
    ~Mainform() override;

    void Form_Load() { session_->Form_Load(); }
    // Quit, the close box and SIGTERM/SIGINT: a message box that is open is
    // closed, since the session's shut-down waits for the handler behind it
    // (the session closes an open file dialog itself).
    void Quit_Click();
    Session& session() { return *session_; }
    // What ends the program once the session has shut down; main() leaves
    // its event loop. Without one the window only hides.
    void setEndHandler(std::function<void()> handler) { endHandler_ = std::move(handler); }

    // SessionObserver
    void statusAppended(const QString& text) override;
    void statusCleared() override;
    void driveChanged(const DriveShown& drive) override;
    void fileChanged(const FileShown& file) override;
    void countersChanged(const Counters& counters) override;
    void progressChanged(qint64 value, qint64 maximum) override;
    void extraTextChanged(const QString& text) override;
    void actionsChanged(const Actions& actions) override;
    void linkChanged(Link link) override;
    void portChoiceChanged(int index) override;
    void addressChanged(const QString& address) override;
    void titleChanged(const QString& title) override;
    void showMessage(const QString& text, MessageIcon icon) override;
    void sessionEnded() override;

  protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void buildControls();
    void connectControls();

    struct Controls;
    std::unique_ptr<Controls> c_;
    std::unique_ptr<Session> session_;
    QPointer<QMessageBox> openBox_;
    std::function<void()> endHandler_;
};

}  // namespace kestrel
