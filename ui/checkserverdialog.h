#pragma once

#include "engine/checkserver.h"

#include <QDialog>

#include <memory>
#include <optional>

namespace Ui {
class CheckServerDialog;
}

namespace quillmere {

// Options > Check server...: the server the window's checks go to, as HOST[:PORT]. Empty means
// the built-in server. OK takes only a text that names a server.
class CheckServerDialog : public QDialog
{
    Q_OBJECT

public:
    // `saved`: the text stored in the settings (empty: none). `environment`: the server
    // QUILLMERE_CHECK_SERVER names, which overrides the choice made here while it is set.
    CheckServerDialog(const QString& saved, const CheckServerAddress& builtIn,
                      const std::optional<CheckServerAddress>& environment,
                      QWidget* parent = nullptr);
    ~CheckServerDialog() override;

    // The text as it is to be stored: trimmed, empty for the built-in server.
    QString text() const;
    // The server the text names; nullopt for the built-in one.
    std::optional<CheckServerAddress> server() const;

    // A paragraph above the prompt, for a dialog the program opens by itself.
    void introduce(const QString& text);

private:
    void textChanged();

    std::unique_ptr<Ui::CheckServerDialog> m_ui;
    std::optional<CheckServerAddress> m_environment;
};

} // namespace quillmere
