#pragma once

#include "engine/checkserver.h"

#include <QString>

#include <optional>

class QSettings;
class QWidget;

namespace quillmere {

// Where the main window's check server comes from: the server QUILLMERE_CHECK_SERVER names when
// it is set, else the one chosen in Options > Check server... and kept in the settings, else the
// built-in one. Runs the dialog that chooses it, and introduces it once at the first start of a
// program whose built-in server is this computer (localhost).
class CheckServerChoice
{
public:
    // `environment`: the server QUILLMERE_CHECK_SERVER names, if it is set.
    CheckServerChoice(QSettings& settings, const CheckServerAddress& builtIn,
                      std::optional<CheckServerAddress> environment);

    // The server at start: the one chosen in the settings unless the environment names one,
    // else `given`.
    CheckServerAddress initial(const CheckServerAddress& given) const;
    // Opens the dialog over `parent`, with `introduction` above it unless empty, and keeps its
    // choice in the settings. Returns the server to use from now on, unless the dialog was
    // cancelled or the environment names the server.
    std::optional<CheckServerAddress> choose(const QString& introduction, QWidget* parent);
    // Opens the dialog with its introduction, once (remembered in the settings), unless a server
    // is chosen or named by the environment or the built-in one is not localhost. Returns as
    // choose() does.
    std::optional<CheckServerAddress> introduce(QWidget* parent);

private:
    QSettings& m_settings;
    CheckServerAddress m_builtIn;
    std::optional<CheckServerAddress> m_environment;
};

} // namespace quillmere
