// ui: something that runs beside the station in the window thread: the virtual production line
// of --simulate. Both front-ends call it; it sees the rows but never changes them.
#pragma once

#include "station/station.h"

#include <string>

namespace ui
{

class StationCompanion
{
  public:
    virtual ~StationCompanion() = default;
    // The station has started (fixture rows exist, the monitor runs).
    virtual void started(Station &station) = 0;
    // A change of the device list, after the view has seen it.
    virtual void row_changed(const DeviceList &list, const DeviceListChange &change) = 0;
    // Once a second, after the elapsed-time column was updated.
    virtual void tick() = 0;
    // True once the companion's run is over: the window then quits without asking.
    virtual bool finished() const = 0;
    // The station is about to stop: start nothing new.
    virtual void stopping() = 0;
    // One line for the bottom of the window ("12 programmed, 1 failed").
    virtual std::string status_line() const = 0;
};

} // namespace ui
