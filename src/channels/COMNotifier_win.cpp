// The port watch over a Win32 port: QWinEventNotifier on the events of the port's input
// watch and of its last write (COMPort_win.h). The events stay set while input waits or
// the port can take bytes, so the watch fires again on every pass of the event loop until
// it is switched off or the reason is gone, as a socket notifier on a descriptor does.
#include "channels/COMNotifier.h"

#include "channels/COMPort_win.h"

#include <QTimer>
#include <QWinEventNotifier>

struct COMNotifier::Private {
    COMHandle handle = INVALID_COM_HANDLE;
    QWinEventNotifier* read = nullptr;
    QWinEventNotifier* write = nullptr;
    bool readOn = false;
    bool writeOn = false;
};

COMNotifier::COMNotifier(COMHandle handle, QObject* parent) : QObject(parent), d(new Private) {
    d->handle = handle;
    if (const HANDLE input = COMInputEvent(handle)) {
        d->read = new QWinEventNotifier(input, this);
        d->read->setEnabled(false);
        connect(d->read, &QWinEventNotifier::activated, this, &COMNotifier::readable);
    }
    if (const HANDLE output = COMWriteEvent(handle)) {
        d->write = new QWinEventNotifier(output, this);
        d->write->setEnabled(false);
        connect(d->write, &QWinEventNotifier::activated, this, &COMNotifier::writable);
    }
}

// Nothing is told to the port: by now it may be closed and its handle's value another
// port's. A watch left wanted only keeps its one-byte read pending, which loses nothing.
COMNotifier::~COMNotifier() = default;

void COMNotifier::setReadEnabled(bool enabled) {
    if (enabled == d->readOn)
        return;
    d->readOn = enabled;
    COMWatchInput(d->handle, enabled);
    if (d->read)
        d->read->setEnabled(enabled);
    else if (enabled)
        // Not an open port: as a closed descriptor would, it reports itself at once, and the
        // read that follows says what is wrong.
        QTimer::singleShot(0, this, [this] {
            if (d->readOn)
                emit readable();
        });
}

void COMNotifier::setWriteEnabled(bool enabled) {
    if (enabled == d->writeOn)
        return;
    d->writeOn = enabled;
    COMWatchOutput(d->handle, enabled);
    if (d->write)
        d->write->setEnabled(enabled);
}

bool COMNotifier::isReadEnabled() const {
    return d->readOn;
}

bool COMNotifier::isWriteEnabled() const {
    return d->writeOn;
}
