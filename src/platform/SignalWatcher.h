#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

namespace kestrel {

// Turns SIGTERM and SIGINT into a call on the UI thread, so they end the run
// through the normal shut-down (port closed, lock file released, settings
// saved) instead of killing the process mid-way.
class SignalWatcher final : public QObject {
  public:
    explicit SignalWatcher(std::function<void()> onSignal);
    ~SignalWatcher() override;

  private:
    std::function<void()> onSignal_;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace kestrel
