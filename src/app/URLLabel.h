// The connect link: a label drawn as a hyperlink (blue, underlined) that acts only
// through its click. No hover effect, the pointer stays the arrow.
#pragma once

#include <QLabel>
#include <functional>

class TURLLabel : public QLabel {
    Q_OBJECT
  public:
    explicit TURLLabel(QWidget* parent = nullptr);

    // The link state of the connection (0..3); see the connect command.
    int Tag = 0;

    // The click handler. The device handshake detaches it (sets it empty) while it runs,
    // so clicks processed during its waits do nothing.
    std::function<void()> OnClick;

    // What a mouse click on an enabled link does; tests call it as a user's click.
    void Click();

  protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};
