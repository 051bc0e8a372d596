#include "app/TestDrive.h"

#include "app/MainFormUnit.h"
#include "log/LOGUnit.h"
#include "settings/TPCServerSettingsUnit.h"

#include <QCoreApplication>
#include <QFile>
#include <QPointer>
#include <QTimer>
#include <cstdio>
#include <thread>

namespace TestDrive {

Request Parse(const QString& text) {
    Request r;
    const QStringList fields = text.split(u' ', Qt::SkipEmptyParts);
    for (const QString& field : fields) {
        const qsizetype eq = field.indexOf(u'=');
        const QString key = eq < 0 ? field : field.left(eq);
        const QString value = eq < 0 ? QString() : field.mid(eq + 1);
        bool ok = true;
        if (eq < 0 && key == u"log") {
            r.log = true;
        } else if (eq < 0 && key == u"connect") {
            r.connect = true;
        } else if (eq < 0 && key == u"commands") {
            r.commands = true;
        } else if (eq < 0 || value.isEmpty()) {
            ok = false;
        } else if (key == u"channel") {
            const int n = value.toInt(&ok);
            ok = ok && n >= chModemV32 && n <= chIP;
            r.channel = n;
        } else if (key == u"port") {
            r.port = value;
        } else if (key == u"address") {
            const qsizetype colon = value.lastIndexOf(u':');
            const uint port = colon > 0 ? value.mid(colon + 1).toUInt(&ok) : 0;
            ok = ok && colon > 0 && port >= 1 && port <= 65535;
            r.address = value;
        } else if (key == u"phone") {
            r.phone = value;
        } else if (key == u"code") {
            r.code = value;
        } else if (key == u"server") {
            const uint port = value.toUInt(&ok);
            ok = ok && port >= 1 && port <= 65535;
            r.server = quint16(port);
        } else {
            ok = false;
        }
        if (!ok) {
            Request refused;
            refused.error = QStringLiteral("bad field \"%1\"").arg(field);
            return refused;
        }
    }
    return r;
}

QString Escape(const QString& line) {
    QString out;
    out.reserve(line.size());
    for (const QChar c : line) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

namespace {

void report(const QString& what) {
    std::fprintf(stderr, "TEST %s\n", what.toUtf8().constData());
    std::fflush(stderr);
}

// False (and reported) when the request cannot be carried out.
bool apply(TMainKestromForm* f, const Request& r) {
    if (r.channel) {
        f->ConnectTypeComboBox->setCurrentIndex(*r.channel);
        f->ConnectTypeComboBoxChange();
    }
    if (!r.port.isEmpty()) {
        const int i = f->PortsListComboBox->findText(r.port);
        if (i < 0) {
            report(QStringLiteral("error port %1 is not in the list").arg(r.port));
            return false;
        }
        f->PortsListComboBox->setCurrentIndex(i);
    }
    if (!r.address.isEmpty()) {
        const qsizetype colon = r.address.lastIndexOf(u':');
        f->IPCombo->setEditText(r.address.left(colon));
        f->PortCombo->setEditText(r.address.mid(colon + 1));
    }
    if (!r.phone.isEmpty())
        f->PhoneNumber->setEditText(r.phone);
    if (!r.code.isEmpty()) {
        f->MKChB->setChecked(true);
        f->MKChBClick();
        f->MasterKeyEdit->setText(r.code);
    }
    if (r.server && TCPServerSettingsForm)
        TCPServerSettingsForm->PortEdit->setText(QString::number(*r.server));
    return true;
}

// The commands on stdin, each carried out on the GUI thread. The reader blocks in a read of
// the descriptor, the one way to wait on a pipe alike on POSIX and on Windows, and is left to
// the end of the process. Not through the C library's stdin: its lock, held by a blocked
// fgets, would keep exit() on Windows from flushing the streams.
void readCommands(TMainKestromForm* form) {
    QPointer<TMainKestromForm> target(form);
    std::thread([target] {
        QFile in;
        if (!in.open(0, QIODevice::ReadOnly | QIODevice::Unbuffered))
            return;
        for (;;) {
            const QByteArray line = in.readLine(256);
            if (line.isEmpty())
                return; // end of input
            const QString command = QString::fromUtf8(line).trimmed();
            QMetaObject::invokeMethod(
                qApp,
                [target, command] {
                    if (!target)
                        return;
                    if (command == u"click")
                        target->URLLabel1->Click();
                    else if (command == u"close")
                        target->close();
                    else
                        report(QStringLiteral("error unknown command \"%1\"").arg(command));
                },
                Qt::QueuedConnection);
        }
    }).detach();
}

} // namespace

void Install(TMainKestromForm* form) {
    if (!qEnvironmentVariableIsSet("KESTROM_TEST_DRIVE"))
        return;
    const Request request = Parse(qEnvironmentVariable("KESTROM_TEST_DRIVE"));
    QTimer::singleShot(0, form, [form, request] {
        report(QStringLiteral("window ") + form->windowTitle());
        QStringList ports;
        for (int i = 0; i < form->PortsListComboBox->count(); ++i)
            ports << form->PortsListComboBox->itemText(i);
        report(QStringLiteral("ports ") + ports.join(u','));
        report(QStringLiteral("channel %1 port %2")
                   .arg(form->ConnectTypeComboBox->currentIndex())
                   .arg(form->PortsListComboBox->currentText()));
        if (!request.error.isEmpty()) {
            report(QStringLiteral("error ") + request.error);
            return;
        }
        if (request.log && LOGForm) {
            QListWidget* list = LOGForm->Log;
            QObject::connect(list->model(), &QAbstractItemModel::rowsInserted, list,
                             [list](const QModelIndex&, int first, int last) {
                                 for (int row = first; row <= last; ++row)
                                     report(QStringLiteral("log ") + Escape(list->item(row)->text()));
                             });
            LOGForm->show();
        }
        if (request.commands)
            readCommands(form);
        if (apply(form, request) && request.connect)
            form->URLLabel1->Click(); // the whole connection runs inside the click
    });
}

} // namespace TestDrive
