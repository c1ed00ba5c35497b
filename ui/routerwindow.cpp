#include "ui/routerwindow.h"

#include "ui/application.h"

#include "support/theme.h"
#include "ui_routerwindow.h"

namespace quillmere {

RouterWindow::RouterWindow(ThemeContext& theme, QWidget* owner)
    : QWidget(owner,
              Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
    , m_ui(std::make_unique<Ui::RouterWindow>())
{
    m_ui->setupUi(this);
    applyDesignFonts(*this);
    setFixedSize(size());
    for (QLabel* label : {m_ui->lblRouterFacts, m_ui->lblDiagnosis, m_ui->lblForward}) {
        label->setTextFormat(Qt::PlainText);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    }
    m_ui->cmdForward->setEnabled(false);
    connect(m_ui->cmdForward, &QPushButton::clicked, this, &RouterWindow::forwardRequested);
    connect(m_ui->cmdRouterClose, &QPushButton::clicked, this, &QWidget::close);
    ApplyTheme(*this, theme);
}

RouterWindow::~RouterWindow() = default;

void RouterWindow::showFinding(const QString& facts, const QString& diagnosis)
{
    m_ui->lblRouterFacts->setText(facts);
    m_ui->lblDiagnosis->setText(diagnosis);
}

void RouterWindow::setForwardEnabled(bool enabled)
{
    m_ui->cmdForward->setEnabled(enabled);
}

void RouterWindow::showForwardResult(const QString& text)
{
    m_ui->lblForward->setText(text);
}

} // namespace quillmere
