// quillmere-check's command line and the QUILLMERE_CHECK_SERVER variable it falls back on.
//
// Input: one mode byte (bit 0: the first argument is the value of QUILLMERE_CHECK_SERVER
// instead), then the arguments without the program name as UTF-8, separated by NUL bytes.
// A command line that runs a check hands the engine what it can use; one that is refused says
// why on one line.

#include "cli/arguments.h"
#include "engine/porttext.h"
#include "fuzz/fuzzcheck.h"

#include <QProcessEnvironment>
#include <QStringList>

using namespace quillmere;
using namespace quillmere::cli;

namespace {

// A character that would end the line or steer the terminal: C0, DEL and C1 controls.
bool isControl(QChar c)
{
    const char16_t u = c.unicode();
    return u < 0x20 || u == 0x7f || (u >= 0x80 && u < 0xa0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const bool withVariable = (data[0] & 1) != 0;
    std::vector<std::string_view> parts;
    if (size > 1)
        parts = fuzz::split(fuzz::bytes(data + 1, size - 1), '\0');

    QProcessEnvironment environment;
    QStringList arguments;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const QString part = QString::fromUtf8(parts[i].data(), qsizetype(parts[i].size()));
        if (i == 0 && withVariable)
            environment.insert(QString::fromLatin1(kCheckServerVariable), part);
        else
            arguments.append(part);
    }

    const ParsedArguments parsed = parseArguments(arguments, environment);
    switch (parsed.action) {
    case ParsedArguments::Action::Run: {
        const CheckOptions& options = parsed.options;
        FUZZ_CHECK(parsed.error.isEmpty());
        // The engine opens the port the text names, and the text goes to the server as given.
        const auto port = portNumber(options.portText);
        FUZZ_CHECK(port && *port >= 0 && *port <= 65535);
        FUZZ_CHECK(normalisedPortText(options.portText) == options.portText);
        FUZZ_CHECK(options.timeoutMs > 0);
        FUZZ_CHECK(options.protocol == ProbeProtocol::Tcp ||
                   options.protocol == ProbeProtocol::Udp);
        // A server the engine can reach and name in its Host header, as it would be read back.
        FUZZ_CHECK(!options.server.host.isEmpty() && options.server.port >= 1);
        FUZZ_CHECK(CheckServerAddress::parse(options.server.authority()) == options.server);
        break;
    }
    case ParsedArguments::Action::UsageError:
        FUZZ_CHECK(!parsed.error.isEmpty());
        for (const QChar c : parsed.error)
            FUZZ_CHECK(!isControl(c));
        break;
    case ParsedArguments::Action::Help:
    case ParsedArguments::Action::Version:
        FUZZ_CHECK(parsed.error.isEmpty());
        FUZZ_CHECK(!arguments.isEmpty());
        break;
    }
    return 0;
}
