// "Настройки COM-порта": the cable channel's serial speed, kept only in the control.
#pragma once

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

class TCOMSettingsForm : public QWidget {
    Q_OBJECT
  public:
    explicit TCOMSettingsForm(QWidget* parent = nullptr);

    QLabel* Label1;
    QComboBox* SpeedComboBox;
    QLabel* Label2;
    QPushButton* OKButton;

    void OKButtonClick();
};

extern TCOMSettingsForm* COMSettingsForm;
