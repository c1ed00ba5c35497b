#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

namespace quillmere::cli {

// Turns SIGINT and SIGTERM into a Qt signal, delivered by the event loop: the handler only
// writes the signal's number to a pipe that a notifier reads. Programs started later get the
// default handlers back when they exec, so nothing here leaks into them.
//
// One instance at a time; its destructor puts the previous handlers back.
class StopSignals : public QObject
{
    Q_OBJECT

public:
    explicit StopSignals(QObject* parent = nullptr);
    ~StopSignals() override;

    bool isActive() const { return m_notifier != nullptr; }

Q_SIGNALS:
    void stopRequested(int signalNumber);

private:
    void onReadable();

    int m_pipe[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace quillmere::cli
