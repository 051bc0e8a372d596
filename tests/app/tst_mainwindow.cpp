// The main window: channel arrangement, address and port checks, shortcuts, dialogs.
#include "TestForms.h"
#include "app/MainFormUnit.h"
#include "channels/COMUtils.h"
#include "log/LOGUnit.h"
#include "settings/COMSettingsUnit.h"
#include "settings/TPCServerSettingsUnit.h"

#include <QMenu>
#include <QtTest>

class TestMainWindow : public QObject {
    Q_OBJECT
    std::unique_ptr<FormsFixture> fx;

    void selectChannel(int i) {
        MainKestromForm->ConnectTypeComboBox->setCurrentIndex(i);
        MainKestromForm->ConnectTypeComboBoxChange();
    }

  private slots:
    void init() {
        fx = std::make_unique<FormsFixture>();
        fx->Create();
    }
    void cleanup() { fx.reset(); }

    void startUpState() {
        TMainKestromForm* f = MainKestromForm;
        QCOMPARE(f->windowTitle(),
                 QStringLiteral("Мастер подключения v.") + TMainKestromForm::GetFileVersionString());
        QCOMPARE(f->size(), QSize(351, 148));
        QCOMPARE(f->ConnectTypeComboBox->currentIndex(), 0);
        QCOMPARE(f->ConnectTypeComboBox->count(), 4);
        QCOMPARE(f->ConnectTypeComboBox->itemText(3), QStringLiteral("IP - прямое подключение к прибору"));
        QCOMPARE(f->URLLabel1->text(), QStringLiteral("Подключить"));
        QCOMPARE(f->URLLabel1->Tag, 0);
        QCOMPARE(f->Label7->text(), QStringLiteral("Нет подключения"));
        QCOMPARE(f->FCOMHandle, -1);
        QCOMPARE(f->FVerInfoWait, 60000); // channel 0 arranged at start-up
        QVERIFY(f->FIPPort);
        QVERIFY(!f->MasterKeyEdit->isEnabled());
        QCOMPARE(f->MasterKeyEdit->maxLength(), 4);
        QCOMPARE(f->PortsListComboBox->count(), 0); // no ports presented
        QCOMPARE(f->PortsListComboBox->currentIndex(), -1);
        QCOMPARE(f->URLLabel1->palette().color(QPalette::WindowText), QColor(0, 0, 255));
        QVERIFY(f->URLLabel1->font().underline());
        QCOMPARE(f->FProto, 0); // no setup.ini: defaults
        QVERIFY(!f->FOldConnect && !f->FSP && !f->FRB);
        QVERIFY(!COMSettingsForm->isVisible() && !TCPServerSettingsForm->isVisible() &&
                !LOGForm->isVisible());
    }

    void channelArrangement_data() {
        QTest::addColumn<int>("channel");
        QTest::addColumn<QString>("label4");
        QTest::addColumn<QString>("label5");
        QTest::addColumn<bool>("portList");
        QTest::addColumn<bool>("phone");
        QTest::addColumn<bool>("ipFields");
        QTest::addColumn<int>("wait");
        QTest::addColumn<int>("proto");
        QTest::newRow("V.32") << 0 << "COM-порт:"
                              << "Номер телефона:" << true << true << false << 60000 << 0;
        QTest::newRow("V.110") << 1 << "COM-порт:"
                               << "Номер телефона:" << true << true << false << 60000 << 1;
        QTest::newRow("cable") << 2 << "COM-порт:"
                               << "Номер телефона:" << true << false << false << 60000 << 1;
        QTest::newRow("IP") << 3 << "IP-адрес:"
                            << "Порт:" << false << false << true << 5000 << 1;
    }
    void channelArrangement() {
        QFETCH(int, channel);
        QFETCH(QString, label4);
        QFETCH(QString, label5);
        QFETCH(bool, portList);
        QFETCH(bool, phone);
        QFETCH(bool, ipFields);
        QFETCH(int, wait);
        QFETCH(int, proto);
        TMainKestromForm* f = MainKestromForm;
        f->show();
        selectChannel(1); // FProto 1 unless the channel itself sets it
        selectChannel(channel);
        QCOMPARE(f->Label4->text(), label4);
        QCOMPARE(f->Label5->text(), label5);
        QCOMPARE(f->PortsListComboBox->isVisible(), portList);
        QCOMPARE(f->SpeedButton1->isVisible(), portList);
        QCOMPARE(f->PhoneNumber->isVisible(), phone);
        QCOMPARE(f->Label5->isVisible(), phone || ipFields);
        QCOMPARE(f->IPCombo->isVisible(), ipFields);
        QCOMPARE(f->PortCombo->isVisible(), ipFields);
        QVERIFY(f->Label1->isVisible() && f->MasterKeyEdit->isVisible() && f->MKChB->isVisible());
        QCOMPARE(f->FVerInfoWait, wait);
        QCOMPARE(f->FProto, proto);
    }

    void linkEnabledAcrossChannels() {
        // An invalid address disables the link; a modem or cable channel enables it again;
        // going back to IP leaves it enabled until the address or port is next edited.
        TMainKestromForm* f = MainKestromForm;
        selectChannel(3);
        f->IPCombo->setEditText("192.168.1");
        QVERIFY(!f->URLLabel1->isEnabled());
        selectChannel(2);
        QVERIFY(f->URLLabel1->isEnabled());
        selectChannel(3);
        QVERIFY(f->URLLabel1->isEnabled());
        f->PortCombo->setEditText("0");
        QVERIFY(!f->URLLabel1->isEnabled());
        selectChannel(0);
        QVERIFY(f->URLLabel1->isEnabled());
    }

    void ipAddressCheck_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("plain") << "192.168.1.1" << true;
        QTest::newRow("zeros") << "0.0.0.0" << true;
        QTest::newRow("top") << "255.255.255.255" << true;
        QTest::newRow("three parts") << "192.168.1" << false;
        QTest::newRow("256") << "192.168.1.256" << false;
        QTest::newRow("fifth part not examined") << "10.0.0.1.7" << true;
        QTest::newRow("port glued on") << "10.0.0.1:5000" << false;
        QTest::newRow("empty part") << "10..0.1" << false;
        QTest::newRow("letters") << "10.a.0.1" << false;
        QTest::newRow("negative") << "10.-1.0.1" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("trailing dot") << "1.2.3.4." << true;
        // Each part converts completely: no blank, no sign.
        QTest::newRow("blank inside a part") << "10 .0.0.1" << false;
        QTest::newRow("leading blank") << " 10.0.0.1" << false;
        QTest::newRow("trailing blank") << "10.0.0.1 " << false;
        QTest::newRow("plus sign") << "10.+0.0.1" << false;
        QTest::newRow("minus zero") << "10.-0.0.1" << false;
        QTest::newRow("leading zeros") << "010.0.0.001" << true;
    }
    void ipAddressCheck() {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QCOMPARE(TMainKestromForm::IsValidIPAddress(text), valid);
    }

    void portCheck_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("0") << "0" << false;
        QTest::newRow("1") << "1" << true;
        QTest::newRow("65535") << "65535" << true;
        QTest::newRow("65536") << "65536" << false;
        QTest::newRow("12a") << "12a" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("negative") << "-5" << false;
        QTest::newRow("leading blank") << " 5000" << false;
        QTest::newRow("trailing blank") << "5000 " << false;
        QTest::newRow("plus sign") << "+5000" << false;
        QTest::newRow("leading zero") << "05000" << true;
    }
    void portCheck() {
        QFETCH(QString, text);
        QFETCH(bool, enabled);
        selectChannel(3);
        MainKestromForm->PortCombo->setEditText(enabled ? "0" : "80"); // start from the other state
        MainKestromForm->PortCombo->setEditText(text);
        QCOMPARE(MainKestromForm->URLLabel1->isEnabled(), enabled);
    }

    void checksOnlyOnIpChannel() {
        selectChannel(2);
        MainKestromForm->IPCombo->setEditText("nonsense");
        MainKestromForm->PortCombo->setEditText("0");
        QVERIFY(MainKestromForm->URLLabel1->isEnabled());
    }

    void knownAddressFillsPort() {
        TMainKestromForm* f = MainKestromForm;
        *f->FIPPort << "10.0.0.5:7000"
                    << "192.168.1.10:4001";
        selectChannel(3);
        f->PortCombo->setEditText("80");
        f->IPCombo->setEditText("192.168.1.1"); // substring of the stored 192.168.1.10
        QVERIFY(f->URLLabel1->isEnabled());
        QCOMPARE(f->PortCombo->currentText(), QStringLiteral("4001"));
        f->IPCombo->setEditText("172.16.0.1");
        QCOMPARE(f->PortCombo->currentText(), QStringLiteral("4001")); // no match: left alone
    }

    void ownAddressFillsItsOwnPort() {
        // The wizard's own history after 10.0.0.12:6000 and then 10.0.0.1:5000 keeps both
        // pairs; 10.0.0.1 used to get the port of 10.0.0.12.
        TMainKestromForm* f = MainKestromForm;
        selectChannel(3);
        for (const auto& [ip, port] : {std::pair{"10.0.0.12", "6000"}, std::pair{"10.0.0.1", "5000"}}) {
            f->IPCombo->setEditText(ip);
            f->PortCombo->setEditText(port);
            f->SaveIPList();
        }
        QCOMPARE(*f->FIPPort, (QStringList{"10.0.0.1:5000", "10.0.0.12:6000"}));
        f->IPCombo->setEditText("");
        f->PortCombo->setEditText("80");
        f->IPCombo->setEditText("10.0.0.1"); // typed
        QCOMPARE(f->PortCombo->currentText(), QStringLiteral("5000"));
        f->IPCombo->setCurrentIndex(f->IPCombo->findText("10.0.0.12")); // picked
        QCOMPARE(f->PortCombo->currentText(), QStringLiteral("6000"));
        f->IPCombo->setCurrentIndex(f->IPCombo->findText("10.0.0.1"));
        QCOMPARE(f->PortCombo->currentText(), QStringLiteral("5000"));
    }

    void portFromHistoryLeavesTheLink() {
        // The address check alone decides: a port the history fills in is not an edit.
        TMainKestromForm* f = MainKestromForm;
        *f->FIPPort << "10.0.0.9:0";
        selectChannel(3);
        f->IPCombo->setEditText("10.0.0.9");
        QCOMPARE(f->PortCombo->currentText(), QStringLiteral("0"));
        QVERIFY(f->URLLabel1->isEnabled());
    }

    // A refused port list is said in the system's words and the list shown stays as it was.
    void portListFailureKeepsTheList() {
        TMainKestromForm* f = MainKestromForm;
        SetCOMPortEnumeratorForTest([] { return QStringList{"COM1", "COM3"}; });
        f->SpeedButton1Click();
        f->PortsListComboBox->setCurrentIndex(1);
        SetCOMPortListFailureForTest(QStringLiteral("Отказано в доступе."));
        f->SpeedButton1Click();
        QCOMPARE(fx->boxes.boxes.size(), 1);
        QCOMPARE(fx->boxes.boxes[0].text, QStringLiteral("Отказано в доступе."));
        QCOMPARE(fx->boxes.boxes[0].caption, QStringLiteral("Ошибка"));
        QCOMPARE(fx->boxes.boxes[0].icon, Platform::BoxIcon::Error);
        QCOMPARE(f->PortsListComboBox->count(), 2);
        QCOMPARE(f->PortsListComboBox->currentText(), QStringLiteral("COM3"));

        SetCOMPortListFailureForTest({});
        f->SpeedButton1Click();
        QCOMPARE(fx->boxes.boxes.size(), 1);
        QCOMPARE(f->PortsListComboBox->currentIndex(), 0);
    }

    void masterCodeBox() {
        MainKestromForm->MKChB->click();
        QVERIFY(MainKestromForm->MasterKeyEdit->isEnabled());
        MainKestromForm->MKChB->click();
        QVERIFY(!MainKestromForm->MasterKeyEdit->isEnabled());
    }

    void shortcuts_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("mods");
        QTest::addColumn<QString>("opens");
        const int ca = int(Qt::ControlModifier | Qt::AltModifier);
        QTest::newRow("Ctrl+Alt+L") << int(Qt::Key_L) << ca << "log";
        QTest::newRow("Ctrl+Alt+C") << int(Qt::Key_C) << ca << "com";
        QTest::newRow("Ctrl+Alt+T") << int(Qt::Key_T) << ca << "tcp";
        QTest::newRow("Ctrl+Alt+Shift+L") << int(Qt::Key_L) << int(ca | Qt::ShiftModifier) << "log";
        QTest::newRow("Ctrl+L") << int(Qt::Key_L) << int(Qt::ControlModifier) << "";
        QTest::newRow("Alt+L") << int(Qt::Key_L) << int(Qt::AltModifier) << "";
        QTest::newRow("L") << int(Qt::Key_L) << 0 << "";
        QTest::newRow("Ctrl+Alt+X") << int(Qt::Key_X) << ca << "";
    }
    void shortcuts() {
        QFETCH(int, key);
        QFETCH(int, mods);
        QFETCH(QString, opens);
        TMainKestromForm* f = MainKestromForm;
        f->show();
        QApplication::setActiveWindow(f);
        QVERIFY(QTest::qWaitForWindowActive(f));
        for (QWidget* focus :
             {static_cast<QWidget*>(f->ConnectTypeComboBox), static_cast<QWidget*>(f->PhoneNumber)}) {
            LOGForm->hide();
            COMSettingsForm->hide();
            TCPServerSettingsForm->hide();
            focus->setFocus();
            QTRY_VERIFY(QApplication::focusWidget() == focus ||
                        focus->isAncestorOf(QApplication::focusWidget()));
            QTest::keyClick(QApplication::focusWidget(), Qt::Key(key), Qt::KeyboardModifiers(mods));
            QCOMPARE(LOGForm->isVisible(), opens == "log");
            QCOMPARE(COMSettingsForm->isVisible(), opens == "com");
            QCOMPARE(TCPServerSettingsForm->isVisible(), opens == "tcp");
        }
    }

    // Some Linux desktops take Ctrl+Alt+T and Ctrl+Alt+L for themselves: the right click
    // menu opens the three windows there.
    void windowsMenu_data() {
        QTest::addColumn<QString>("item");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QKeySequence>("keys");
        QTest::addColumn<QString>("opens");
        QTest::newRow("serial speed") << "COMSettingsItem"
                                      << "Настройки COM-порта" << QKeySequence("Ctrl+Alt+C") << "com";
        QTest::newRow("server port") << "TCPServerSettingsItem"
                                     << "Настройки TCP сервера" << QKeySequence("Ctrl+Alt+T") << "tcp";
        QTest::newRow("traffic log") << "LOGItem"
                                     << "Данные" << QKeySequence("Ctrl+Alt+L") << "log";
    }
    void windowsMenu() {
        QFETCH(QString, item);
        QFETCH(QString, caption);
        QFETCH(QKeySequence, keys);
        QFETCH(QString, opens);
        TMainKestromForm* f = MainKestromForm;
        f->show();
        QVERIFY(QTest::qWaitForWindowExposed(f));
        auto* menu = f->findChild<QMenu*>("WindowsMenu");
        QVERIFY(menu);
        QCOMPARE(menu->actions().size(), 3);
        auto* action = menu->findChild<QAction*>(item);
        QVERIFY(action);
        QCOMPARE(action->text(), caption);
        QCOMPARE(action->shortcut(), keys);
        QVERIFY(action->isShortcutVisibleInContextMenu());

        // A right click on the window's free area (left of "Тип подключения:"), then the item.
        QTest::mouseClick(f->windowHandle(), Qt::RightButton, {}, QPoint(4, 4));
        QTRY_VERIFY(menu->isVisible());
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
        QTRY_VERIFY(!menu->isVisible());
        QCOMPARE(LOGForm->isVisible(), opens == "log");
        QCOMPARE(COMSettingsForm->isVisible(), opens == "com");
        QCOMPARE(TCPServerSettingsForm->isVisible(), opens == "tcp");
        QWidget* shown = opens == "log"   ? static_cast<QWidget*>(LOGForm)
                         : opens == "com" ? static_cast<QWidget*>(COMSettingsForm)
                                          : static_cast<QWidget*>(TCPServerSettingsForm);
        QCOMPARE(shown->windowTitle(), caption);
        // Owned by the main window: no taskbar button of its own.
        QCOMPARE(shown->parentWidget(), f);
        QVERIFY(shown->isWindow());
        QVERIFY(shown->windowHandle());
        QCOMPARE(shown->windowHandle()->transientParent(), f->windowHandle());
    }

    void settingsDialogs() {
        QCOMPARE(COMSettingsForm->windowTitle(), QStringLiteral("Настройки COM-порта"));
        QCOMPARE(COMSettingsForm->size(), QSize(250, 74));
        QCOMPARE(COMSettingsForm->SpeedComboBox->currentText(), QStringLiteral("19200"));
        QCOMPARE(COMSettingsForm->SpeedComboBox->count(), 14);
        QCOMPARE(COMSettingsForm->SpeedComboBox->itemText(13), QStringLiteral("256000"));
        QVERIFY(!COMSettingsForm->SpeedComboBox->isEditable());
        QCOMPARE(TCPServerSettingsForm->windowTitle(), QStringLiteral("Настройки TCP сервера"));
        QCOMPARE(TCPServerSettingsForm->size(), QSize(219, 82));
        QCOMPARE(TCPServerSettingsForm->PortEdit->text(), QStringLiteral("53462"));
        QCOMPARE(COMSettingsForm->OKButton->text(), QStringLiteral("Сохранить"));

        COMSettingsForm->show();
        COMSettingsForm->SpeedComboBox->setCurrentIndex(11);
        COMSettingsForm->OKButton->click();
        QVERIFY(!COMSettingsForm->isVisible());
        QCOMPARE(COMSettingsForm->SpeedComboBox->currentText(), QStringLiteral("115200"));
        TCPServerSettingsForm->show();
        TCPServerSettingsForm->PortEdit->setText("60000");
        TCPServerSettingsForm->close(); // the close box hides; the value stays
        QVERIFY(!TCPServerSettingsForm->isVisible());
        QCOMPARE(TCPServerSettingsForm->PortEdit->text(), QStringLiteral("60000"));
        QCOMPARE(LOGForm->windowTitle(), QStringLiteral("Данные"));
        QCOMPARE(LOGForm->N1->text(), QStringLiteral("Очистить"));
        QCOMPARE(LOGForm->N2->text(), QStringLiteral("Сохранить"));
        QCOMPARE(LOGForm->AutiscrollCheckBox->text(), QStringLiteral("Прокрутка"));
        QVERIFY(!LOGForm->AutiscrollCheckBox->isChecked());
    }

    void closingMainWindowEndsProgram_data() {
        QTest::addColumn<QString>("open");
        QTest::newRow("traffic log shown") << QStringLiteral("log");
        QTest::newRow("COM settings shown") << QStringLiteral("com");
        QTest::newRow("server settings shown") << QStringLiteral("tcp");
    }
    void closingMainWindowEndsProgram() {
        // The application's own loop, as in the program: it must end when the main window
        // closes, although another window is still on screen.
        QFETCH(QString, open);
        TMainKestromForm* f = MainKestromForm;
        QWidget* other = open == "log"   ? static_cast<QWidget*>(LOGForm)
                         : open == "com" ? static_cast<QWidget*>(COMSettingsForm)
                                         : static_cast<QWidget*>(TCPServerSettingsForm);
        f->show();
        other->show();
        QVERIFY(QTest::qWaitForWindowExposed(f) && QTest::qWaitForWindowExposed(other));
        QTimer::singleShot(0, f, [f] { f->close(); });
        QTimer::singleShot(5000, [] { QCoreApplication::exit(1); }); // still running: a failure
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(!f->isVisible());
    }

    void setupIniFlagsAtStartUp() {
        fx->Destroy();
        fx->WriteSetupIni("PROTO=1\r\nOLDCONNECT=1\r\nSP=01\r\nRB= 1\r\n");
        fx->Create();
        QCOMPARE(MainKestromForm->FProto, 0); // channel 0 is restored and sets it
        QVERIFY(MainKestromForm->FOldConnect);
        QVERIFY(MainKestromForm->FSP);
        QVERIFY(MainKestromForm->FRB);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
