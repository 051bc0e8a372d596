#include "app/URLLabel.h"

#include <QMouseEvent>

TURLLabel::TURLLabel(QWidget* parent) : QLabel(parent) {
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, QColor(0, 0, 255));
    pal.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0, 0, 255).lighter(170));
    setPalette(pal);
    QFont f = font();
    f.setUnderline(true);
    setFont(f);
}

void TURLLabel::Click() {
    if (!isEnabled() || !OnClick)
        return;
    // Keep the handler alive even if it is replaced while it runs (the handshake does that).
    const auto handler = OnClick;
    handler();
}

void TURLLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        Click();
    QLabel::mouseReleaseEvent(event);
}
