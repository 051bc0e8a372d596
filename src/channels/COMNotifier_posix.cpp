// The port watch over a POSIX descriptor: the event loop's own poll wakes for it.
#include "channels/COMNotifier.h"

#include <QSocketNotifier>

struct COMNotifier::Private {
    QSocketNotifier* read = nullptr;
    QSocketNotifier* write = nullptr;
};

COMNotifier::COMNotifier(COMHandle handle, QObject* parent) : QObject(parent), d(new Private) {
    d->read = new QSocketNotifier(handle, QSocketNotifier::Read, this);
    d->write = new QSocketNotifier(handle, QSocketNotifier::Write, this);
    d->read->setEnabled(false);
    d->write->setEnabled(false);
    connect(d->read, &QSocketNotifier::activated, this, &COMNotifier::readable);
    connect(d->write, &QSocketNotifier::activated, this, &COMNotifier::writable);
}

COMNotifier::~COMNotifier() = default;

void COMNotifier::setReadEnabled(bool enabled) {
    d->read->setEnabled(enabled);
}

void COMNotifier::setWriteEnabled(bool enabled) {
    d->write->setEnabled(enabled);
}

bool COMNotifier::isReadEnabled() const {
    return d->read->isEnabled();
}

bool COMNotifier::isWriteEnabled() const {
    return d->write->isEnabled();
}
