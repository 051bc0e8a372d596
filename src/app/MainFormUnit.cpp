// Start-up, layout and the small handlers of the main window.
#include "app/MainFormUnit.h"
#include "relay/RelayCore.h"
#include "relay/RelayEnd.h"
#include "server/LoopbackServer.h"

#include "app/AppStartup.h"
#include "channels/COMNotifier.h"
#include "channels/RingThread.h"
#include "log/LOGUnit.h"
#include "platform/FileVersion.h"
#include "platform/Platform.h"
#include "platform/TempDir.h"
#include "settings/COMSettingsUnit.h"
#include "settings/HistoryLists.h"
#include "settings/TPCServerSettingsUnit.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QProcess>
#include <QScreen>
#include <QSignalBlocker>
#include <QStyle>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>

TMainKestromForm* MainKestromForm = nullptr;

namespace {
QLabel* makeLabel(QWidget* parent, const QString& text, int x, int y, int w, int h) {
    auto* label = new QLabel(text, parent);
    // The design's widths fit Tahoma; where a wider font stands in, the text must not be cut.
    label->setGeometry(x, y, qMax(w, label->sizeHint().width()), qMax(h, label->sizeHint().height()));
    return label;
}

QComboBox* makeCombo(QWidget* parent, const char* name, bool editable, int x, int y, int w, int h) {
    auto* box = new QComboBox(parent);
    box->setObjectName(QLatin1String(name));
    box->setEditable(editable);
    box->setGeometry(x, y, w, h);
    if (editable)
        box->setInsertPolicy(QComboBox::NoInsert);
    return box;
}
} // namespace

TMainKestromForm::TMainKestromForm(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint) {
    setObjectName(QStringLiteral("MainKestromForm"));
    setWindowTitle(QStringLiteral("Мастер подключения"));
    setFont(Platform::DialogFont());
    setFixedSize(351, 148);
    setWindowIcon(AppStartup::ProgramIcon());

    Label3 = makeLabel(this, QStringLiteral("Тип подключения:"), 16, 11, 95, 13);
    ConnectTypeComboBox = makeCombo(this, "ConnectTypeComboBox", false, 128, 8, 215, 21);
    ConnectTypeComboBox->addItems(
        {QStringLiteral("CSD (GSM-модем) V.32"), QStringLiteral("CSD (GSM-модем) V.110"),
         QStringLiteral("USB/COM (кабель)"), QStringLiteral("IP - прямое подключение к прибору")});
    ConnectTypeComboBox->setCurrentIndex(0);
    Label4 = makeLabel(this, QStringLiteral("COM-порт:"), 16, 38, 55, 13);
    PortsListComboBox = makeCombo(this, "PortsListComboBox", false, 128, 35, 185, 21);
    SpeedButton1 = new QToolButton(this);
    SpeedButton1->setObjectName(QStringLiteral("SpeedButton1"));
    SpeedButton1->setGeometry(320, 35, 23, 22);
    SpeedButton1->setIcon(style()->standardIcon(QStyle::SP_BrowserReload));
    SpeedButton1->setIconSize(QSize(16, 16));
    SpeedButton1->setFocusPolicy(Qt::NoFocus);
    SpeedButton1->setAutoRaise(true);
    IPCombo = makeCombo(this, "IPCombo", true, 128, 35, 215, 21);
    Label5 = makeLabel(this, QStringLiteral("Номер телефона:"), 16, 65, 88, 13);
    PhoneNumber = makeCombo(this, "PhoneNumber", true, 128, 62, 215, 21);
    PortCombo = makeCombo(this, "PortCombo", true, 128, 62, 215, 21);
    Label1 = makeLabel(this, QStringLiteral("Мастер-код:"), 16, 93, 64, 13);
    MasterKeyEdit = new QLineEdit(this);
    MasterKeyEdit->setObjectName(QStringLiteral("MasterKeyEdit"));
    MasterKeyEdit->setGeometry(128, 90, 185, 21);
    MasterKeyEdit->setMaxLength(4);
    MasterKeyEdit->setEnabled(false);
    MKChB = new QCheckBox(this);
    MKChB->setObjectName(QStringLiteral("MKChB"));
    MKChB->setGeometry(325, 92, 17, 17);
    URLLabel1 = new TURLLabel(this);
    URLLabel1->setObjectName(QStringLiteral("URLLabel1"));
    URLLabel1->setText(QStringLiteral("Подключить"));
    URLLabel1->move(16, 121);
    URLLabel1->adjustSize(); // the link is as wide as its caption, which changes with the state
    Label6 = makeLabel(this, QStringLiteral("Статус:"), 144, 121, 40, 13);
    Label7 = makeLabel(this, QStringLiteral("Нет подключения"), 190, 121, 92, 13);
    Label7->setObjectName(QStringLiteral("Label7"));
    // Longer status texts ("Прибор недоступен") must not be clipped by the design width.
    Label7->resize(351 - 190 - 4, Label7->height());

    // Tab order: channel, port list, phone, IP, port, master code, its box.
    setTabOrder(ConnectTypeComboBox, PortsListComboBox);
    setTabOrder(PortsListComboBox, PhoneNumber);
    setTabOrder(PhoneNumber, IPCombo);
    setTabOrder(IPCombo, PortCombo);
    setTabOrder(PortCombo, MasterKeyEdit);
    setTabOrder(MasterKeyEdit, MKChB);

    ServerSocket = new LoopbackServer(this);
    FRelay = new RelayCore(this);
    ClientSocket = new QTcpSocket(this);
    Timer1 = new QTimer(this);
    Timer1->setInterval(1000);
    FWaitTimer = new QTimer(this);
    FWaitTimer->setSingleShot(true);
    WireClientSocket();
    FPortWatchTimer = new QTimer(this);
    // The port watch enumerates the machine's ports; a quarter second notices a pulled
    // adapter promptly without costing anything while idle.
    FPortWatchTimer->setInterval(250);
    connect(FPortWatchTimer, &QTimer::timeout, this, [this] { FPortWatchDue = true; });

    // User actions only: selecting an item from code raises no change event.
    connect(ConnectTypeComboBox, &QComboBox::activated, this, [this] { ConnectTypeComboBoxChange(); });
    connect(IPCombo, &QComboBox::editTextChanged, this, [this] { IPComboChange(); });
    connect(PortCombo, &QComboBox::editTextChanged, this, [this] { PortEditChange(); });
    connect(MKChB, &QCheckBox::clicked, this, [this] { MKChBClick(); });
    connect(SpeedButton1, &QToolButton::clicked, this, [this] { SpeedButton1Click(); });
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
    WireRelay();
    URLLabel1->OnClick = [this] { URLLabel1Click(); };

    MakeWindowsMenu();

    // Keyboard preview: the window sees key presses whatever control has the focus.
    qApp->installEventFilter(this);

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

TMainKestromForm::~TMainKestromForm() {
    qApp->removeEventFilter(this);
    if (!FClosed)
        FormClose();
    FreeRing();
    UnwatchCOM();
    CloseCOMPort(FCOMHandle);
    // The children outlive this part of the object: QWidget deletes them after our members
    // are gone, and a socket closing then would still call our handlers. Cut those links now.
    const QList<QObject*> kids = findChildren<QObject*>();
    for (QObject* kid : kids)
        QObject::disconnect(kid, nullptr, this, nullptr);
}

void TMainKestromForm::FormCreate() {
    FVerInfoWait = 5000;
    ReadProto();
    ReadSetupFlags();
    FIPPort = std::make_unique<QStringList>();
    FSetupIsStarted = false;
    setWindowTitle(windowTitle() + QStringLiteral(" v.") + GetFileVersionString());
    LoadPhoneList();
    FillPortsList();
    LoadCOMSettings();
    LoadIPList();
    ConnectTypeComboBoxChange();
    WatchForCrashReport();
}

void TMainKestromForm::FormClose() {
    if (FClosed)
        return;
    FClosed = true;
    // A dial still running is cancelled (its handler closes its port); a call that is up
    // is hung up: a call left up is billed until the network drops it.
    if (FRing && FRing->isRunning() && !FRing->HandlerRunning()) {
        FRing->SetErrorCode(rrCancelled);
        FRing->Terminate();
        FRing->WaitFor();
    }
    if (FModemConnect && FCOMHandle != INVALID_COM_HANDLE) {
        FConnected = false;
        ModemHangUp();
        CloseCOM();
    }
    // The panel's connection goes quietly: no reconnect is scheduled on the way out.
    Timer1->stop();
    FClientActive = false;
    if (ClientSocket->state() != QAbstractSocket::UnconnectedState)
        ClientSocket->abort();
    FConnected = false; // a running relay loop ends at its next check
    StopSetup();
    TempDir::RemoveRunDir(); // the setup program's private directory goes with the program
    SaveCOMSettings();
    FIPPort.reset();
}

void TMainKestromForm::closeEvent(QCloseEvent* event) {
    FormClose();
    event->accept();
    emit Closed();
}

bool TMainKestromForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && watched->isWidgetType() &&
        static_cast<QWidget*>(watched)->window() == this) {
        auto* key = static_cast<QKeyEvent*>(event);
        FormKeyDown(key->key(), key->modifiers());
    }
    return false; // the key is not consumed
}

void TMainKestromForm::FormKeyDown(int key, Qt::KeyboardModifiers shift) {
    if (!(shift & Qt::ControlModifier) || !(shift & Qt::AltModifier))
        return;
    ShowAuxiliaryWindow(key);
}

void TMainKestromForm::ShowAuxiliaryWindow(int key) {
    QWidget* target = nullptr;
    switch (key) {
    case Qt::Key_C:
        target = COMSettingsForm;
        break;
    case Qt::Key_L:
        target = LOGForm;
        break;
    case Qt::Key_T:
        target = TCPServerSettingsForm;
        break;
    default:
        return;
    }
    if (target) {
        target->show();
        target->raise();
    }
}

void TMainKestromForm::MakeWindowsMenu() {
    // Most Linux desktops take Ctrl+Alt+T for a terminal and several Ctrl+Alt+L for the
    // screen lock before the window sees them: the menu opens the windows there. Each item
    // shows its shortcut, which still works where the desktop leaves it alone.
    WindowsMenu = new QMenu(this);
    WindowsMenu->setObjectName(QStringLiteral("WindowsMenu"));
    const struct {
        const char* name;
        QString caption;
        Qt::Key key;
    } items[] = {
        {"COMSettingsItem", QStringLiteral("Настройки COM-порта"), Qt::Key_C},
        {"TCPServerSettingsItem", QStringLiteral("Настройки TCP сервера"), Qt::Key_T},
        {"LOGItem", QStringLiteral("Данные"), Qt::Key_L},
    };
    for (const auto& item : items) {
        QAction* action = WindowsMenu->addAction(item.caption);
        action->setObjectName(QLatin1String(item.name));
        action->setShortcut(QKeySequence(Qt::CTRL | Qt::ALT | item.key));
        // Shown only: the keys themselves go through FormKeyDown, whatever has the focus.
        action->setShortcutContext(Qt::WidgetShortcut);
        action->setShortcutVisibleInContextMenu(true);
        connect(action, &QAction::triggered, this, [this, key = item.key] { ShowAuxiliaryWindow(key); });
    }
}

void TMainKestromForm::contextMenuEvent(QContextMenuEvent* event) {
    // Reaches the window from its free area and from the labels; the edit fields keep
    // their own menus.
    WindowsMenu->popup(event->globalPos());
    event->accept();
}

void TMainKestromForm::ConnectTypeComboBoxChange() {
    const int i = ConnectTypeComboBox->currentIndex();
    if (i == chModemV32)
        FProto = 0;
    else if (i == chModemV110)
        FProto = 1;

    if (i == chModemV32 || i == chModemV110 || i == chCable) {
        FVerInfoWait = 60000;
        URLLabel1->setEnabled(true);
        PortsListComboBox->show();
        SpeedButton1->show();
        Label4->setText(QStringLiteral("COM-порт:"));
        Label5->setText(QStringLiteral("Номер телефона:"));
        Label5->setVisible(i != chCable);
        PhoneNumber->setVisible(i != chCable);
        IPCombo->hide();
        PortCombo->hide();
    } else if (i == chIP) {
        FVerInfoWait = 5000;
        PortsListComboBox->hide();
        SpeedButton1->hide();
        PhoneNumber->hide();
        Label4->setText(QStringLiteral("IP-адрес:"));
        Label5->setText(QStringLiteral("Порт:"));
        Label4->show();
        Label5->show();
        IPCombo->show();
        PortCombo->show();
        // The link's enabled state is left alone: it follows the next edit of address or port.
    }
}

std::optional<int> TMainKestromForm::WholeNumber(const QString& text) {
    // Qt's conversion would take blanks around the digits and a sign before them.
    if (text.isEmpty() || !std::all_of(text.cbegin(), text.cend(), [](QChar c) {
            return c >= QLatin1Char('0') && c <= QLatin1Char('9');
        }))
        return std::nullopt;
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    return ok ? std::optional<int>(value) : std::nullopt;
}

bool TMainKestromForm::IsValidIPAddress(const QString& text) {
    QString s = text + QLatin1Char('.');
    for (int part = 0; part < 4; ++part) {
        const qsizetype dot = s.indexOf(QLatin1Char('.'));
        if (dot < 0)
            return false;
        const auto value = WholeNumber(s.left(dot));
        if (!value || *value > 255)
            return false;
        s = s.mid(dot + 1);
    }
    return true; // whatever follows the fourth part is not examined
}

void TMainKestromForm::IPComboChange() {
    if (ConnectTypeComboBox->currentIndex() != chIP)
        return;
    const QString ip = IPCombo->currentText();
    URLLabel1->setEnabled(IsValidIPAddress(ip));
    if (!URLLabel1->isEnabled() || !FIPPort)
        return;
    if (const auto port = HistoryLists::portForAddress(*FIPPort, ip)) {
        // The history's port, not the technician's edit: the link stays as the address
        // check left it.
        const QSignalBlocker block(PortCombo);
        PortCombo->setEditText(*port);
    }
}

void TMainKestromForm::PortEditChange() {
    if (ConnectTypeComboBox->currentIndex() != chIP)
        return;
    const auto port = WholeNumber(PortCombo->currentText());
    URLLabel1->setEnabled(port && *port >= 1 && *port <= 65535);
}

void TMainKestromForm::MKChBClick() {
    MasterKeyEdit->setEnabled(MKChB->isChecked());
}

void TMainKestromForm::SpeedButton1Click() {
    FillPortsList();
}

void TMainKestromForm::FillPortsList() {
    QStringList ports;
    QString error;
    if (!GetCOMPortList(ports, QString(), &error)) {
        // The list the user had stays; the system's own words say why it was not renewed.
        Platform::MessageBox(this, error, QStringLiteral("Ошибка"), Platform::BoxIcon::Error);
        return;
    }
    PortsListComboBox->clear();
    PortsListComboBox->addItems(ports);
    if (!ports.isEmpty())
        PortsListComboBox->setCurrentIndex(0);
}

void TMainKestromForm::StartFlash() {
    Platform::StartFlash(this);
}

void TMainKestromForm::StopFlash() {
    Platform::StopFlash(this);
}

QString TMainKestromForm::GetFileVersionString() {
    return ::GetFileVersionString(QCoreApplication::applicationFilePath());
}

void TMainKestromForm::SetStatus(const QString& caption, StatusColour colour) {
    Label7->setText(caption);
    NoteCrashState();
    if (colour == StatusColour::Unchanged)
        return;
    QPalette pal = Label7->palette();
    pal.setColor(QPalette::WindowText,
                 colour == StatusColour::Red ? QColor(255, 0, 0) : palette().color(QPalette::ButtonText));
    Label7->setPalette(pal);
}

void TMainKestromForm::SetLink(int state, const QString& caption) {
    URLLabel1->Tag = state;
    URLLabel1->setText(caption);
    URLLabel1->adjustSize();
    NoteCrashState();
}

TMainKestromForm::Observed TMainKestromForm::Observe() const {
    Observed seen;
    seen.stagedSetupPacket = QByteArray(FSetupBuffer, FReadSocket);
    seen.relayHoldsDevice = FRelay->DeviceHeld();
    seen.relayHoldsSetup = FRelay->SetupHeld();
    seen.portAwaitsRoom = FCOMEnd && FCOMEnd->notifier()->isWriteEnabled();
    seen.lanBox = FLANBox;
    return seen;
}

void TMainKestromForm::EnableChannelControls() {
    ConnectTypeComboBox->setEnabled(true);
    PortsListComboBox->setEnabled(true);
    PhoneNumber->setEnabled(true);
    SpeedButton1->setEnabled(true);
}

void TMainKestromForm::DisableModemControls() {
    ConnectTypeComboBox->setEnabled(false);
    PortsListComboBox->setEnabled(false);
    PhoneNumber->setEnabled(false);
    SpeedButton1->setEnabled(false);
}

void CreateForms() {
    MainKestromForm = new TMainKestromForm;
    MainKestromForm->FormCreate();
    // The main window owns the other three: they have no taskbar button of their own, stay
    // above it and go with it.
    COMSettingsForm = new TCOMSettingsForm(MainKestromForm);
    TCPServerSettingsForm = new TTCPServerSettingsForm(MainKestromForm);
    LOGForm = new TLOGForm(MainKestromForm);
    // Closing the main window ends the program, whatever else is open: the log window and
    // the settings dialogs never keep it running on their own.
    for (QWidget* w : {static_cast<QWidget*>(COMSettingsForm), static_cast<QWidget*>(TCPServerSettingsForm),
                       static_cast<QWidget*>(LOGForm)})
        w->setAttribute(Qt::WA_QuitOnClose, false);
}

void DestroyForms() {
    // The main window shuts its connection down first (it may still log), then takes its
    // three windows with it.
    delete MainKestromForm;
    MainKestromForm = nullptr;
    LOGForm = nullptr;
    TCPServerSettingsForm = nullptr;
    COMSettingsForm = nullptr;
}
