#pragma once

#include "engine/checkview.h"

#include <QString>
#include <QStringView>

class QFontMetrics;
class QLabel;

namespace Ui {
class MainWindow;
}

namespace quillmere {

namespace session {
class CheckSession;
}

// What the router window shows beside the check: the router's facts, the diagnosis, and whether
// a forward can be asked for.
struct RouterFinding
{
    QString facts;
    QString diagnosis;
    bool canForward = false;
};

// The short name of a finding, by its code ("not-forwarded": "Not forwarded"), for the one line
// beside "Router...". Empty for a code it does not know.
QString findingName(QStringView code);

// The one line beside "Router..." for a finding: its name and a pointer to the window that
// explains it ("Not forwarded: Router… explains"), or the name alone where both do not fit in
// `width` pixels of `metrics`. Empty for a code without a name.
QString shortFinding(QStringView code, const QFontMetrics& metrics, int width);

// Fills the main window's result labels from the session's report: the check's labels, the
// holders of the port, the IPv6 line, the check server's address and note, and the router line.
// Every label it fills shows plain text.
class ReportView
{
public:
    ReportView(Ui::MainWindow& ui, session::CheckSession& session);

    QLabel* resultLabel(ResultLabel label) const;
    void setResultText(ResultLabel label, const QString& text);
    void setResultColour(ResultLabel label, TextColour colour);

    void checkStarted();
    void verdictStands();
    void ipv6Started();
    void showIpv6Line();
    void finished();
    void clearServerAddress();
    void serverLookedUp();
    // Shows the router's answer and the check's verdict, joined in the diagnosis, in the router
    // line (a finding by its short name, the whole text on hover), and returns them for the
    // router window.
    RouterFinding showRouterFinding();

private:
    Ui::MainWindow& m_ui;
    session::CheckSession& m_session;
};

} // namespace quillmere
