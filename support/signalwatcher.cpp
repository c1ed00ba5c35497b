#include "support/signalwatcher.h"

#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace quillmere {

namespace {

// The write end of the pipe the signal handler writes to; -1 while no watcher exists.
int g_signalFd[2] = {-1, -1};

extern "C" void onSignal(int signalNumber)
{
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(g_signalFd[0], &byte, 1);
}

} // namespace

SignalWatcher::SignalWatcher(QObject* parent)
    : QObject(parent)
{
    if (g_signalFd[0] != -1 || ::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalFd) != 0)
        return;
    m_notifier = new QSocketNotifier(g_signalFd[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalWatcher::onReadable);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(number, &action, nullptr);
}

SignalWatcher::~SignalWatcher()
{
    if (!m_notifier)
        return;
    for (int number : {SIGTERM, SIGINT, SIGHUP})
        std::signal(number, SIG_DFL);
    ::close(g_signalFd[0]);
    ::close(g_signalFd[1]);
    g_signalFd[0] = g_signalFd[1] = -1;
}

void SignalWatcher::onReadable()
{
    unsigned char byte = 0;
    if (::read(g_signalFd[1], &byte, 1) == 1)
        Q_EMIT endRequested(byte);
}

} // namespace quillmere
