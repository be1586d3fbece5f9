// ui (Qt): keeps the PC from suspending while the station runs. Used by the Qt front-end.
//
// Takes a logind "sleep" inhibitor lock over the system D-Bus and holds it for the object's life.
// Where there is no logind (or the program was built without Qt D-Bus), it does nothing.
#pragma once

namespace ui
{

class SuspendInhibitor
{
  public:
    SuspendInhibitor();
    ~SuspendInhibitor();
    SuspendInhibitor(const SuspendInhibitor &) = delete;
    SuspendInhibitor &operator=(const SuspendInhibitor &) = delete;
    // True while suspend is inhibited.
    bool active() const { return fd_ >= 0; }

  private:
    int fd_ = -1; // the inhibitor lock; logind drops it when the descriptor is closed
};

} // namespace ui
