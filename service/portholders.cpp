#include "service/portholders.h"

#include "service/procnettable.h"

#include <QFile>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <functional>
#include <memory>
#include <optional>
#include <pwd.h>
#include <unistd.h>
#include <vector>

using namespace Qt::StringLiterals;

namespace quillmere::service {

namespace {

// Calls `handle` with each line of `file`, without its newline. Lines are read into one fixed
// buffer, so a table of any size costs no allocation per line. The tables' lines are short; a
// line longer than the buffer is not one of theirs and is passed over.
void forEachLine(QFile& file, const std::function<void(QByteArrayView)>& handle)
{
    char buffer[1024];
    bool skippingLongLine = false;
    for (;;) {
        const qint64 length = file.readLine(buffer, qint64(sizeof buffer));
        if (length <= 0)
            return;
        const bool complete = buffer[length - 1] == '\n';
        if (!skippingLongLine && (complete || length < qint64(sizeof buffer) - 1))
            handle(QByteArrayView(buffer, complete ? length - 1 : length));
        skippingLongLine = !complete && length == qint64(sizeof buffer) - 1;
    }
}

QString userNameOf(quint32 uid)
{
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    if (size <= 0)
        size = 16384;
    for (; size <= 1 << 20; size *= 2) {
        std::vector<char> buffer(size_t(size), '\0');
        passwd entry{};
        passwd* found = nullptr;
        const int error = getpwuid_r(uid_t(uid), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE)
            continue;
        if (error != 0 || !found || !found->pw_name)
            return {};
        return QString::fromLocal8Bit(found->pw_name);
    }
    return {};
}

std::optional<qint64> pidOf(const char* name)
{
    qint64 pid = 0;
    if (!*name)
        return std::nullopt;
    for (const char* c = name; *c; ++c) {
        if (*c < '0' || *c > '9' || pid > (qint64(1) << 40))
            return std::nullopt;
        pid = pid * 10 + (*c - '0');
    }
    return pid;
}

// The inode of a descriptor link "socket:[INODE]", or 0 for anything else.
quint64 socketInode(QByteArrayView target)
{
    static constexpr QByteArrayView kPrefix = "socket:[";
    if (!target.startsWith(kPrefix) || !target.endsWith(']'))
        return 0;
    const QByteArrayView digits = target.sliced(kPrefix.size(), target.size() - kPrefix.size() - 1);
    if (digits.isEmpty() || digits.size() > 20)
        return 0;
    quint64 inode = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return 0;
        inode = inode * 10 + quint64(c - '0');
    }
    return inode;
}

struct DirCloser
{
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// Adds every process under `procRoot` that has one of the sockets open to that socket.
void findProcesses(const QString& procRoot, PortHolders& holders)
{
    QHash<quint64, qsizetype> socketByInode;
    for (qsizetype i = 0; i < holders.sockets.size(); ++i) {
        if (holders.sockets[i].inode != 0)
            socketByInode.insert(holders.sockets[i].inode, i);
    }
    if (socketByInode.isEmpty())
        return;

    const QByteArray root = QFile::encodeName(procRoot);
    const DirHandle processes(opendir(root.constData()));
    if (!processes)
        return;
    QHash<qint64, QString> names;
    while (const dirent* process = readdir(processes.get())) {
        const auto pid = pidOf(process->d_name);
        if (!pid)
            continue;
        const QByteArray fdPath = root + '/' + process->d_name + "/fd";
        const DirHandle descriptors(opendir(fdPath.constData()));
        if (!descriptors) {
            if (errno == EACCES || errno == EPERM)
                holders.processesHidden = true;
            continue; // gone, or not a process
        }
        while (const dirent* descriptor = readdir(descriptors.get())) {
            if (descriptor->d_name[0] == '.')
                continue;
            const QByteArray linkPath = fdPath + '/' + descriptor->d_name;
            char target[64];
            const ssize_t length = readlink(linkPath.constData(), target, sizeof target);
            if (length <= 0 || size_t(length) == sizeof target)
                continue;
            const auto found = socketByInode.constFind(socketInode(QByteArrayView(target, length)));
            if (found == socketByInode.cend())
                continue;
            QList<HoldingProcess>& owners = holders.sockets[*found].processes;
            if (!owners.isEmpty() && owners.back().pid == *pid)
                continue; // the same socket on another descriptor
            if (!names.contains(*pid)) {
                QFile comm(QString::fromLocal8Bit(root + '/' + process->d_name + "/comm"));
                QString name;
                if (comm.open(QIODevice::ReadOnly))
                    name = displayableProcessName(QString::fromUtf8(comm.read(256)));
                names.insert(*pid, name);
            }
            owners.append({*pid, names.value(*pid)});
        }
    }
    for (PortSocket& socket : holders.sockets) {
        std::sort(socket.processes.begin(), socket.processes.end(),
                  [](const HoldingProcess& a, const HoldingProcess& b) { return a.pid < b.pid; });
    }
}

// "a", "a and b", "a, b and c".
QString englishList(const QStringList& items)
{
    if (items.size() <= 1)
        return items.value(0);
    return QStringList(items.cbegin(), items.cend() - 1).join(u", "_s) + u" and "_s + items.back();
}

QString protocolName(ProbeProtocol protocol)
{
    return protocol == ProbeProtocol::Tcp ? u"TCP"_s : u"UDP"_s;
}

} // namespace

PortHolders findPortHolders(quint16 port, ProbeProtocol protocol, const QString& procRoot)
{
    const bool tcp = protocol == ProbeProtocol::Tcp;
    const int wantedState = tcp ? kStateListen : kStateClose;
    const QStringList tables =
        tcp ? QStringList{u"net/tcp"_s, u"net/tcp6"_s} : QStringList{u"net/udp"_s, u"net/udp6"_s};

    PortHolders holders;
    QStringList unreadable;
    bool anyRead = false;
    for (const QString& table : tables) {
        QFile file(procRoot + u'/' + table);
        // A kernel without IPv6 has no tcp6 and udp6; that is no failure.
        if (!file.exists())
            continue;
        if (!file.open(QIODevice::ReadOnly)) {
            unreadable.append(file.fileName());
            continue;
        }
        anyRead = true;
        forEachLine(file, [&](QByteArrayView line) {
            const auto entry = parseProcNetLine(line);
            if (!entry || entry->localPort != port || entry->state != wantedState)
                return;
            PortSocket socket;
            socket.localAddress = addressText(entry->localAddress);
            socket.loopback = isLoopbackAddress(entry->localAddress);
            socket.uid = entry->uid;
            socket.inode = entry->inode;
            holders.sockets.append(socket);
        });
    }
    if (!anyRead && unreadable.isEmpty())
        unreadable.append(procRoot + u'/' + tables.front());
    holders.tablesRead = unreadable.isEmpty();
    if (!holders.tablesRead)
        holders.problem = englishList(unreadable) + u" could not be read"_s;

    if (holders.sockets.isEmpty())
        return holders;
    findProcesses(procRoot, holders);
    QHash<quint32, QString> users;
    for (PortSocket& socket : holders.sockets) {
        if (!socket.processes.isEmpty() || socket.inode == 0)
            continue;
        if (!users.contains(socket.uid))
            users.insert(socket.uid, userNameOf(socket.uid));
        socket.userName = users.value(socket.uid);
    }
    return holders;
}

QString describeHolders(const PortHolders& holders, quint16 port, ProbeProtocol protocol)
{
    if (holders.sockets.isEmpty()) {
        if (!holders.tablesRead)
            return u"the program holding it cannot be named: "_s + holders.problem;
        return protocol == ProbeProtocol::Tcp
                   ? u"no program on this computer listens on %1 port %2"_s
                         .arg(protocolName(protocol))
                         .arg(port)
                   : u"no program on this computer has %1 port %2 open"_s
                         .arg(protocolName(protocol))
                         .arg(port);
    }

    // Named processes grouped by name, then sockets nobody could be found for grouped by user,
    // each in the order first met.
    QStringList processNames;
    QHash<QString, QList<qint64>> pidsByName;
    QList<quint32> hiddenUids;
    QHash<quint32, QString> userNames;
    bool kernel = false;
    QStringList addresses;
    bool allLoopback = true;
    for (const PortSocket& socket : holders.sockets) {
        allLoopback = allLoopback && socket.loopback;
        if (!addresses.contains(socket.localAddress))
            addresses.append(socket.localAddress);
        if (socket.inode == 0) {
            kernel = true;
            continue;
        }
        if (socket.processes.isEmpty() && !hiddenUids.contains(socket.uid)) {
            hiddenUids.append(socket.uid);
            userNames.insert(socket.uid, socket.userName);
        }
        for (const HoldingProcess& process : socket.processes) {
            if (!pidsByName.contains(process.name))
                processNames.append(process.name);
            QList<qint64>& pids = pidsByName[process.name];
            if (!pids.contains(process.pid))
                pids.append(process.pid);
        }
    }

    QStringList holderTexts;
    for (const QString& name : std::as_const(processNames)) {
        QList<qint64> pids = pidsByName.value(name);
        std::sort(pids.begin(), pids.end());
        QStringList pidTexts;
        for (const qint64 pid : std::as_const(pids))
            pidTexts.append(QString::number(pid));
        const QString who = name.isEmpty() ? u"a program without a name"_s : name;
        holderTexts.append(who + u" (pid "_s + pidTexts.join(u", "_s) + u')');
    }
    if (kernel)
        holderTexts.append(u"the kernel itself"_s);
    for (const quint32 uid : std::as_const(hiddenUids)) {
        const QString user = userNames.value(uid);
        holderTexts.append(user.isEmpty() ? u"a program of uid %1"_s.arg(uid)
                                          : u"a program of user %1 (uid %2)"_s.arg(user).arg(uid));
    }

    QString text = u"held by "_s + englishList(holderTexts);
    if (!hiddenUids.isEmpty()) {
        text += holders.processesHidden ? u" that this user cannot see"_s
                                        : u" that could not be found"_s;
    }
    if (allLoopback) {
        text += u", bound only to "_s + englishList(addresses) +
                u", so it cannot be reached from outside"_s;
    }
    if (!hiddenUids.isEmpty() && holders.processesHidden) {
        text += hiddenUids.size() == 1 ? u"; run as that user or root to name it"_s
                                       : u"; run as those users or root to name them"_s;
    }
    return text;
}

QString displayableProcessName(QStringView name)
{
    QString shown;
    shown.reserve(name.size());
    for (const QChar c : name) {
        const auto category = c.category();
        if (category != QChar::Other_Control && category != QChar::Other_Format)
            shown.append(c);
    }
    return shown;
}

} // namespace quillmere::service
