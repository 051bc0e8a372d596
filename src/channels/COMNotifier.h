// Tells the GUI thread when an open serial port has bytes to read, or room again after a
// write took less than it was given. Both watches start disabled; a watch stays on until
// it is switched off (the relay switches the write watch off as soon as it fires, and both
// off once the port has hung up: a hung-up port reports itself ready without end).
//
// One implementation per platform: COMNotifier_posix.cpp (QSocketNotifier on the
// descriptor), COMNotifier_win.cpp.
#pragma once

#include "channels/COMUtils.h"

#include <QObject>
#include <memory>

class COMNotifier : public QObject {
    Q_OBJECT
  public:
    explicit COMNotifier(COMHandle handle, QObject* parent = nullptr);
    ~COMNotifier() override;

    void setReadEnabled(bool enabled);
    void setWriteEnabled(bool enabled);
    bool isReadEnabled() const;
    bool isWriteEnabled() const;

  signals:
    void readable();
    void writable();

  private:
    struct Private;
    std::unique_ptr<Private> d;
};
