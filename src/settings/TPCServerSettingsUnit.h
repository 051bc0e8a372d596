// "Настройки TCP сервера": the port of the local server, kept only in the control.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

class TTCPServerSettingsForm : public QWidget {
    Q_OBJECT
  public:
    explicit TTCPServerSettingsForm(QWidget* parent = nullptr);

    QLabel* Label1;
    QLineEdit* PortEdit;
    QPushButton* OkButton;

    void OkButtonClick();
};

extern TTCPServerSettingsForm* TCPServerSettingsForm;
