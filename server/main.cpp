// quillmere-server: a check server for Quillmere that anyone can run.

#include "server/accesslog.h"
#include "server/checkserver.h"
#include "server/serverconfig.h"
#include "wire/version.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
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

// Raises the soft open-file limit to the hard one and returns it.
std::size_t openFileLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? std::size_t(1) << 20 : std::size_t(limit.rlim_cur);
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

    const auto notes = [](std::string_view line) { writeLine(stderr, "quillmere-server: ", line); };
    for (const std::string& note : fitToDescriptorLimit(commandLine.config, openFileLimit()))
        notes(note);

    boost::asio::io_context context(1);
    AccessLog accessLog(context.get_executor(), STDOUT_FILENO);
    CheckServer server(
        context, std::move(commandLine.config),
        [&accessLog](std::string_view line) { accessLog.write(line); }, notes);
    if (!server.start())
        return 1;

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
        server.stop([&signals, &accessLog] {
            boost::system::error_code ignored;
            signals.cancel(ignored);
            accessLog.finish();
        });
    });
    std::signal(SIGPIPE, SIG_IGN);
    context.run();
    return 0;
}
