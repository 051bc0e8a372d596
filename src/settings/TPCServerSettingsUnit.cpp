#include "settings/TPCServerSettingsUnit.h"

#include "platform/Platform.h"

#include <QGuiApplication>
#include <QScreen>

TTCPServerSettingsForm* TCPServerSettingsForm = nullptr;

TTCPServerSettingsForm::TTCPServerSettingsForm(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint) {
    setWindowTitle(QStringLiteral("Настройки TCP сервера"));
    setFont(Platform::DialogFont());
    setFixedSize(219, 82);

    Label1 = new QLabel(QStringLiteral("Порт:"), this);
    Label1->setGeometry(16, 19, 40, 13);
    PortEdit = new QLineEdit(QStringLiteral("53462"), this);
    PortEdit->setObjectName(QStringLiteral("PortEdit"));
    PortEdit->setGeometry(64, 15, 139, 21);
    OkButton = new QPushButton(QStringLiteral("Сохранить"), this);
    OkButton->setGeometry(128, 48, 81, 25);
    connect(OkButton, &QPushButton::clicked, this, [this] { OkButtonClick(); });

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TTCPServerSettingsForm::OkButtonClick() {
    hide();
}
