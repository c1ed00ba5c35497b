#pragma once

#include <QObject>

class QSocketNotifier;

namespace quillmere {

// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal delivered on the event loop, so that a
// program asked to end by the session (log-out, shut-down) or by Ctrl+C closes its windows the
// normal way and keeps its settings. One instance per program.
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(QObject* parent = nullptr);
    ~SignalWatcher() override;

Q_SIGNALS:
    void endRequested(int signalNumber);

private:
    void onReadable();

    QSocketNotifier* m_notifier = nullptr;
};

} // namespace quillmere
