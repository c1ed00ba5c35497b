#pragma once

#include "nat/natfacts.h"

#include <QDateTime>
#include <QWidget>

#include <memory>

class QPushButton;

class QLabel;
class QScrollArea;

namespace Ui {
class RouterWindow;
}

namespace quillmere {

struct ThemeContext;

// frmRouter, the findings window: why the checked port is or is not open, and what each layer
// between the internet and the listener has to say about it, a section each: the router, this
// computer, the path, inside your network; and below them the NAT type, which the window finds
// itself, on request only ("Find NAT type", a STUN exchange on a worker thread). Opened from
// "Router..." beside "Check Me". It only shows what it is given and says what the user asked
// for; every text in it came from the router, the check server, the STUN server or the LAN and
// is shown as plain text, tooltips included. A section with nothing to say says it was not
// checked, and why.
class RouterWindow : public QWidget
{
    Q_OBJECT

public:
    enum class Layer { Router, Computer, Path, Inside };
    Q_ENUM(Layer)

    // How long a forward made from the window lasts, as offered (seconds; 0: until removed).
    static constexpr qint64 kLeaseHour = 3600;
    static constexpr qint64 kLeaseDay = 86400;
    static constexpr qint64 kLeaseUntilRemoved = 0;

    RouterWindow(ThemeContext& theme, QWidget* owner);
    ~RouterWindow() override;

    // The router's facts and the diagnosis, each a paragraph of plain text.
    void showFinding(const QString& facts, const QString& diagnosis);
    // Whether "Forward this port to this computer" can be pressed now.
    void setForwardEnabled(bool enabled);
    // Offers a pinhole in the router's IPv6 firewall for the port, after a check over IPv6 found
    // it not open and the router takes pinholes (button cmdIpv6Pinhole, hidden otherwise).
    void setIpv6PinholeOffered(bool offered);
    // What the last forward (or its removal) came to, or empty.
    void showForwardResult(const QString& text);
    // The mapping of the checked port to this computer, when there is one: when it ends (an
    // invalid time: it lasts until removed), with "Remove this forward". `present` false hides
    // both.
    void showOwnForward(bool present, const QDateTime& ends = {});

    // The lease the next forward asks for; one of the offered ones (an hour, a day, until
    // removed). Setting another value chooses an hour.
    qint64 forwardLease() const;
    void setForwardLease(qint64 seconds);

    // This computer's firewall: what was found, the command that opens the port (empty: none),
    // and whether "Allow in firewall" is offered.
    void showComputer(const QString& text, const QString& fixCommand, bool offerAllow);
    // The way from the internet to the router: what was found, and an external port that is
    // open to forward to the checked port instead (0: none offered).
    void showPath(const QString& text, int offeredExternalPort);
    // Reaching the port from inside the LAN.
    void showInside(const QString& text);
    // A layer that was not looked at: "Not checked: `reason`", and none of its offers.
    void showNotChecked(Layer layer, const QString& reason);

    // The plain text a layer shows now.
    QString layerText(Layer layer) const;

    // The NAT type section's words, each plain text: the type in large words, what it means for
    // games and calls, what would change it, and the details (mapping, filtering, port,
    // external address, limits). An empty one takes no room.
    struct NatSection
    {
        QString title;
        QString meaning;
        QString change;
        QString detail;
    };
    void showNatSection(const NatSection& section);

    // The STUN server "Find NAT type" asks: the check server's host, on this port unless told.
    static constexpr quint16 kStunPort = 3478;
    // Where the next "Find NAT type" goes. An empty host: nowhere, and the button is off. A run
    // that goes on keeps its server.
    void setStunServer(const QString& host, quint16 port = kStunPort);
    // Shows what a NAT type discovery found, in the section's words.
    void showNatFacts(const nat::NatFacts& facts);
    // Whether a discovery runs now (the button is off until it ends).
    bool isFindingNatType() const;

Q_SIGNALS:
    void forwardRequested();
    void ipv6PinholeRequested();
    void removeForwardRequested();
    // The user chose another lease for forwards.
    void forwardLeaseChosen(qint64 seconds);
    void allowInFirewallRequested();
    void forwardExternalPortRequested(int externalPort);
    // A discovery ended: what it found, its exchange in `facts.log`.
    void natTypeFound(const quillmere::nat::NatFacts& facts);

private:
    void arrangeInColumn();
    void arrangeNatSection();
    void findNatType();
    void natDiscovered(const nat::NatFacts& facts);
    void showNatIdle();
    QLabel* layerLabel(Layer layer) const;
    void setLayerText(Layer layer, const QString& text);

    std::unique_ptr<Ui::RouterWindow> m_ui;
    int m_offeredExternalPort = 0;
    QScrollArea* m_scroll = nullptr;
    // "Find NAT type": where it asks, and the client, made at the first press (it starts a
    // worker thread).
    QString m_stunHost;
    quint16 m_stunPort = kStunPort;
    std::unique_ptr<nat::NatClient> m_natClient;
    bool m_natAsked = false; // a discovery has run or runs: the section shows its words
    QPushButton* m_ipv6Pinhole = nullptr; // cmdIpv6Pinhole, in the column
};

} // namespace quillmere
