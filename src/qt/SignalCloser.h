#pragma once
// Turns SIGINT, SIGTERM and SIGHUP into a close request of the window, so that a Ctrl-C in the
// terminal or a logout still stops the link the way the close button does (the port is handed
// back released, not left exclusive). One instance at a time.
#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <memory>

class CSignalCloser : public QObject {
 public:
  explicit CSignalCloser(std::function<void()> onSignal);
  ~CSignalCloser() override;
  CSignalCloser(const CSignalCloser&) = delete;
  CSignalCloser& operator=(const CSignalCloser&) = delete;

 private:
  std::function<void()> m_onSignal;
  int m_fds[2] = {-1, -1};
  std::unique_ptr<QSocketNotifier> m_notifier;
};
