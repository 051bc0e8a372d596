#include "settings/COMSettingsUnit.h"

#include "platform/Platform.h"

#include <QGuiApplication>
#include <QScreen>

TCOMSettingsForm* COMSettingsForm = nullptr;

TCOMSettingsForm::TCOMSettingsForm(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint) {
    setWindowTitle(QStringLiteral("Настройки COM-порта"));
    setFont(Platform::DialogFont());
    setFixedSize(250, 74);

    Label1 = new QLabel(QStringLiteral("Скорость:"), this);
    Label1->setGeometry(16, 15, 60, 13);
    SpeedComboBox = new QComboBox(this);
    SpeedComboBox->setObjectName(QStringLiteral("SpeedComboBox"));
    SpeedComboBox->setGeometry(80, 11, 121, 21);
    SpeedComboBox->addItems({"600", "1200", "2400", "4800", "9600", "14400", "19200", "28800", "38400",
                             "56000", "57600", "115200", "128000", "256000"});
    SpeedComboBox->setCurrentIndex(6);
    Label2 = new QLabel(QStringLiteral("бод"), this);
    Label2->setGeometry(208, 15, 30, 13);
    OKButton = new QPushButton(QStringLiteral("Сохранить"), this);
    OKButton->setGeometry(160, 42, 81, 25);
    connect(OKButton, &QPushButton::clicked, this, [this] { OKButtonClick(); });

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TCOMSettingsForm::OKButtonClick() {
    hide();
}
