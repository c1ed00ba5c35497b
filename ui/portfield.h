#pragma once

#include <QObject>

#include <functional>

class QLineEdit;

namespace quillmere {

// The port field's keyboard: lets only digits in (typed or composed by an input method), caps
// the text at a valid port, and calls `reveal` when the two reveal letters are typed one after
// the other (they never reach the field themselves).
class PortField : public QObject
{
    Q_OBJECT

public:
    static constexpr char16_t kRevealFirst = u'l';
    static constexpr char16_t kRevealSecond = u'g';

    PortField(QLineEdit& field, std::function<void()> reveal, QObject* parent = nullptr);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void keyPress(int& keyCode);
    void textChanged();

    QLineEdit& m_field;
    std::function<void()> m_reveal;
    qint16 m_lastKey = 0;
};

} // namespace quillmere
