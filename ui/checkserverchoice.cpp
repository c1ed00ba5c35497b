#include "ui/checkserverchoice.h"

#include "ui/checkserverdialog.h"

#include <QSettings>

namespace quillmere {

using namespace Qt::StringLiterals;

namespace {

const QString kCheckServerKey = u"Settings/CheckServer"_s;
const QString kCheckServerIntroducedKey = u"Settings/CheckServerIntroduced"_s;

} // namespace

CheckServerChoice::CheckServerChoice(QSettings& settings, const CheckServerAddress& builtIn,
                                     std::optional<CheckServerAddress> environment)
    : m_settings(settings)
    , m_builtIn(builtIn)
    , m_environment(std::move(environment))
{}

CheckServerAddress CheckServerChoice::initial(const CheckServerAddress& given) const
{
    // QUILLMERE_CHECK_SERVER, when set, wins over the server chosen in Options.
    CheckServerAddress server = given;
    if (!m_environment) {
        if (const auto chosen =
                CheckServerAddress::parse(m_settings.value(kCheckServerKey).toString()))
            server = *chosen;
    }
    return server;
}

std::optional<CheckServerAddress> CheckServerChoice::introduce(QWidget* parent)
{
    if (m_builtIn.host != u"localhost"_s || m_environment || m_settings.contains(kCheckServerKey) ||
        m_settings.value(kCheckServerIntroducedKey).toBool())
        return std::nullopt;
    m_settings.setValue(kCheckServerIntroducedKey, true);
    m_settings.sync();
    return choose(
        u"This copy of Quillmere was built without a check server: its built-in one is "
        u"localhost, this computer, which cannot speak for your router. A check server runs on a "
        u"public host on the internet, for example quillmere-server, which anyone can run on "
        u"theirs. Name one below as HOST or HOST:PORT; you can change it at any time in Options > "
        u"Check server..."_s,
        parent);
}

std::optional<CheckServerAddress> CheckServerChoice::choose(const QString& introduction,
                                                            QWidget* parent)
{
    CheckServerDialog dialog(m_settings.value(kCheckServerKey).toString(), m_builtIn, m_environment,
                             parent);
    if (!introduction.isEmpty())
        dialog.introduce(introduction);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    if (dialog.text().isEmpty())
        m_settings.remove(kCheckServerKey);
    else
        m_settings.setValue(kCheckServerKey, dialog.text());
    if (m_environment)
        return std::nullopt;
    return dialog.server().value_or(m_builtIn);
}

} // namespace quillmere
