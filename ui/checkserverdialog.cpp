#include "ui/checkserverdialog.h"

#include "ui_checkserverdialog.h"

#include <QLabel>
#include <QPushButton>

namespace quillmere {

using namespace Qt::StringLiterals;

CheckServerDialog::CheckServerDialog(const QString& saved, const CheckServerAddress& builtIn,
                                     const std::optional<CheckServerAddress>& environment,
                                     QWidget* parent)
    : QDialog(parent)
    , m_ui(std::make_unique<Ui::CheckServerDialog>())
    , m_environment(environment)
{
    m_ui->setupUi(this);
    setFixedSize(size());
    m_ui->lblCheckServerPrompt->setText(
        u"The check server tests your port from the internet. Enter it as HOST or HOST:PORT "
        u"(an IPv6 address in brackets), or leave the field empty for the built-in server, "_s +
        builtIn.authority() + u". It is used from the next check on."_s);
    m_ui->txtCheckServer->setPlaceholderText(builtIn.authority());
    m_ui->txtCheckServer->setText(saved);
    connect(m_ui->txtCheckServer, &QLineEdit::textChanged, this, &CheckServerDialog::textChanged);
    connect(m_ui->cmdCheckServerButtons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_ui->cmdCheckServerButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    textChanged();
}

CheckServerDialog::~CheckServerDialog() = default;

QString CheckServerDialog::text() const
{
    return m_ui->txtCheckServer->text().trimmed();
}

std::optional<CheckServerAddress> CheckServerDialog::server() const
{
    if (text().isEmpty())
        return std::nullopt;
    return CheckServerAddress::parse(text());
}

void CheckServerDialog::introduce(const QString& text)
{
    auto* label = new QLabel(text, this);
    label->setObjectName(u"lblCheckServerIntro"_s);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    const QRect prompt = m_ui->lblCheckServerPrompt->geometry();
    const int introHeight = label->heightForWidth(prompt.width());
    label->setGeometry(prompt.x(), prompt.y(), prompt.width(), introHeight);
    // Everything else moves down by the paragraph and a gap.
    const int shift = introHeight + prompt.y();
    const QList<QWidget*> below{m_ui->lblCheckServerPrompt, m_ui->txtCheckServer,
                                m_ui->lblCheckServerProblem, m_ui->cmdCheckServerButtons};
    for (QWidget* widget : below)
        widget->move(widget->x(), widget->y() + shift);
    setFixedSize(width(), height() + shift);
}

void CheckServerDialog::textChanged()
{
    const bool usable = text().isEmpty() || server().has_value();
    m_ui->cmdCheckServerButtons->button(QDialogButtonBox::Ok)->setEnabled(usable);
    QString problem;
    if (!usable)
        problem = u"Not a server: enter HOST or HOST:PORT, for example checker.example.net or "
                  u"[2001:db8::1]:8080."_s;
    else if (m_environment)
        problem = u"QUILLMERE_CHECK_SERVER names "_s + m_environment->authority() +
                  u": while it is set, checks go there, whatever is chosen here."_s;
    m_ui->lblCheckServerProblem->setText(problem);
}

} // namespace quillmere
