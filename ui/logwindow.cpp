#include "ui/logwindow.h"

#include "ui/application.h"

#include "support/shell.h"
#include "support/theme.h"
#include "ui_logwindow.h"

#include <QCloseEvent>

namespace quillmere {

LogWindow::LogWindow(ThemeContext& theme, bool& logWindowOpenFlag)
    : QWidget(nullptr,
              Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
    , m_ui(std::make_unique<Ui::LogWindow>())
    , logWindowOpen(logWindowOpenFlag)
{
    m_ui->setupUi(this);
    applyDesignFonts(*this);
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(size());
    connect(m_ui->cmdClose, &QPushButton::clicked, this, &LogWindow::cmdCloseClick);

    // Load.
    ApplyTheme(*this, theme);
    logWindowOpen = true;
    SetTopMost(*this);
}

LogWindow::~LogWindow() = default;

QPlainTextEdit* LogWindow::httpBox() const
{
    return m_ui->txtLogHTTP;
}

QPlainTextEdit* LogWindow::listenerBox() const
{
    return m_ui->txtLogWS;
}

void LogWindow::closeEvent(QCloseEvent* event)
{
    logWindowOpen = false;
    event->accept();
}

void LogWindow::cmdCloseClick()
{
    Q_EMIT closePressed();
    close();
}

} // namespace quillmere
