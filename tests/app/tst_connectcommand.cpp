// The connect link's click before a connection is up: refusals and the busy port.
#include "PtyFixture.h"
#include "TestForms.h"
#include "app/MainFormUnit.h"
#include "log/LOGUnit.h"

#include <QtTest>

class TestConnectCommand : public QObject {
    Q_OBJECT
    std::unique_ptr<FormsFixture> fx;
    TMainKestromForm* f = nullptr;

    void select(int channel) {
        f->ConnectTypeComboBox->setCurrentIndex(channel);
        f->ConnectTypeComboBoxChange();
    }

  private slots:
    void init() {
        fx = std::make_unique<FormsFixture>();
        fx->Create();
        LOGForm->show();
        f = MainKestromForm;
    }
    void cleanup() { fx.reset(); }

    void noPortSelected_data() {
        QTest::addColumn<int>("channel");
        QTest::newRow("modem") << int(chModemV32);
        QTest::newRow("cable") << int(chCable);
    }
    void noPortSelected() {
        QFETCH(int, channel);
        select(channel);
        f->PhoneNumber->setEditText("+70000000000");
        f->URLLabel1->Click();
        QCOMPARE(fx->boxes.texts(), QStringList{"Нет доступных COM портов."});
        QCOMPARE(fx->boxes.boxes[0].caption, QStringLiteral("Ошибка"));
        QCOMPARE(f->URLLabel1->Tag, 0);
        QCOMPARE(f->URLLabel1->text(), QStringLiteral("Подключить"));
        QVERIFY(f->URLLabel1->isEnabled());
        QVERIFY(f->ConnectTypeComboBox->isEnabled());
    }

    void emptyPhoneNumber() {
        PtyFixture port;
        f->PortsListComboBox->addItem(port.portName());
        select(chModemV110);
        f->PhoneNumber->setEditText("   ");
        f->URLLabel1->Click();
        QCOMPARE(fx->boxes.texts(), QStringList{"Не указан номер телефона."});
        QCOMPARE(f->URLLabel1->Tag, 0);
        QCOMPARE(f->FProto, 1);
    }

    void busyPortThenCancel() {
        // Another program holds the port: the link stays "Отмена подключения" with the
        // status in red until one click cancels and gives the controls back.
        PtyFixture port;
        COMHandle other = INVALID_COM_HANDLE;
        QVERIFY(OpenCOMPort(port.portName(), 19200, other));
        f->PortsListComboBox->addItem(port.portName());
        select(chCable);
        f->URLLabel1->Click();
        QCOMPARE(f->URLLabel1->Tag, 1);
        QCOMPARE(f->URLLabel1->text(), QStringLiteral("Отмена подключения"));
        QCOMPARE(f->Label7->text(), QStringLiteral("COM-порт занят"));
        QCOMPARE(f->Label7->palette().color(QPalette::WindowText), QColor(255, 0, 0));
        QVERIFY(!f->ConnectTypeComboBox->isEnabled() && !f->PortsListComboBox->isEnabled() &&
                !f->SpeedButton1->isEnabled());
        QVERIFY(f->URLLabel1->isEnabled());
        QCOMPARE(f->FCOMHandle, -1);
        const QStringList lines = LogLines();
        QVERIFY(std::any_of(lines.begin(), lines.end(),
                            [](const QString& l) { return LogBody(l) == " Ошибка открытия COM порта"; }));

        f->URLLabel1->Click();
        QCOMPARE(f->URLLabel1->Tag, 0);
        QCOMPARE(f->URLLabel1->text(), QStringLiteral("Подключить"));
        QCOMPARE(f->Label7->text(), QStringLiteral("Нет подключения"));
        QVERIFY(f->ConnectTypeComboBox->isEnabled() && f->PortsListComboBox->isEnabled() &&
                f->SpeedButton1->isEnabled());
        QVERIFY(LogBody(LogLines().last())
                    .contains("нажатие на кнопку подключения в момент подключения к прибору"));
        CloseCOMPort(other);
    }
};

QTEST_MAIN(TestConnectCommand)
#include "tst_connectcommand.moc"
