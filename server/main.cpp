// quillmere-server: a check server for Quillmere that anyone can run.

#include "server/accesslog.h"
#include "server/checkserver.h"
#include "server/serverconfig.h"
#include "wire/version.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace {

void writeLine(std::FILE* stream, std::string_view prefix, std::string_view line)
{
    std::string text;
    text.reserve(prefix.size() + line.size() + 1);
    text.append(prefix).append(line).append("\n");
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

// Raises the soft open-file limit to the hard one and returns it, with a note on what it got.
std::size_t openFileLimit(std::string& note)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        note = "open-file limit unknown; assuming 1024";
        return 1024;
    }
    const rlim_t soft = limit.rlim_cur;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    const std::size_t result =
        limit.rlim_cur == RLIM_INFINITY ? std::size_t(1) << 20 : std::size_t(limit.rlim_cur);
    note = "open-file limit " + std::to_string(result);
    if (limit.rlim_cur != soft)
        note += " (raised from " + std::to_string(soft) + " to the hard limit)";
    else if (limit.rlim_cur < limit.rlim_max)
        note += " (could not be raised to the hard limit " + std::to_string(limit.rlim_max) + ")";
    return result;
}

} // namespace

int main(int argc, char* argv[])
{
    using namespace quillmere::server;
    std::vector<std::string_view> arguments(argv + 1, argv + argc);
    CommandLine commandLine = parseCommandLine(arguments);
    if (!commandLine.error.empty()) {
        writeLine(stderr, "quillmere-server: ", commandLine.error);
        writeLine(stderr, "", "Try 'quillmere-server --help'.");
        return 64;
    }
    if (commandLine.help) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }
    if (commandLine.version) {
        writeLine(stdout, "quillmere-server ", quillmere::kVersion);
        return 0;
    }

    // One line per write: the threads' notes never interleave.
    const auto notes = [](std::string_view line) { writeLine(stderr, "quillmere-server: ", line); };
    if (commandLine.config.threads == 0)
        commandLine.config.threads = usableCores();
    std::string limitNote;
    const std::size_t fileLimit = openFileLimit(limitNote);
    notes(limitNote);
    for (const std::string& note : fitToDescriptorLimit(commandLine.config, fileLimit))
        notes(note);

    // One io_context per thread; the first runs on this thread and also carries the access log
    // and the signals.
    std::vector<std::unique_ptr<boost::asio::io_context>> contexts;
    std::vector<boost::asio::io_context*> loops;
    for (unsigned i = 0; i < commandLine.config.threads; ++i)
        loops.push_back(contexts.emplace_back(std::make_unique<boost::asio::io_context>(1)).get());
    boost::asio::io_context& context = *loops.front();
    // A build on io_uring finds out here whether the system lets it use it.
    std::optional<AccessLog> accessLogHolder;
    std::optional<CheckServer> server;
    try {
        AccessLog& accessLog = accessLogHolder.emplace(context.get_executor(), STDOUT_FILENO);
        server.emplace(
            loops, std::move(commandLine.config),
            [&accessLog](std::string_view line) { accessLog.write(line); }, notes);
        if (!server->start())
            return 1;
    } catch (const std::exception& e) {
        notes(std::string("cannot start the event loops: ") + e.what());
        return 1;
    }
    AccessLog& accessLog = *accessLogHolder;

    // The first signal lets the open connections finish (at most a few seconds); a second one
    // ends the program at once.
    boost::asio::signal_set signals(context, SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code& error, int) {
        if (error)
            return;
        notes("stopping: finishing the open connections");
        signals.async_wait([](const boost::system::error_code& again, int) {
            if (!again)
                std::_Exit(1);
        });
        // The last connection may end on any loop; the signals and the log are the first's.
        server->stop([&context, &signals, &accessLog] {
            boost::asio::post(context, [&signals, &accessLog] {
                boost::system::error_code ignored;
                signals.cancel(ignored);
                accessLog.finish();
            });
        });
    });
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::thread> threads;
    for (std::size_t i = 1; i < loops.size(); ++i)
        threads.emplace_back([loop = loops[i]] { loop->run(); });
    context.run();
    for (std::thread& thread : threads)
        thread.join();
    return 0;
}
