// One running wizard per user. POSIX: a local server named after the main window's class,
// guarded by a lock file (SingleInstance_posix.cpp). Windows: a mutex of that name in the
// user's session (SingleInstance_win.cpp).
#pragma once

#include <memory>

class SingleInstance {
  public:
    SingleInstance();
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Claims the name; false when another instance holds it.
    bool Claim();

  private:
    struct Private;
    std::unique_ptr<Private> d;
};
