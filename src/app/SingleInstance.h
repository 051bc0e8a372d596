// One running wizard per user: a local server named after the main window's class.
#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <memory>

class SingleInstance {
  public:
    // Claims the name; false when another instance holds it.
    bool Claim();

  private:
    std::unique_ptr<QLockFile> FLock;
    std::unique_ptr<QLocalServer> FServer;
};
