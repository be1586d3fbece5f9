// fuzz target of the fixture port mapping: arbitrary bytes as the mapping file, read by
// InitUSBMapping into a fresh device list.
//
// Whatever the file says: the count taken over is 0..64, no more rows than entries, the rows in
// strictly ascending fixture order, and every row findable by each of its interface names.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "station/device_list.h"
#include "station/port_mapping.h"
#include "support/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool once = (silence_diagnostics(), true); // iniparser's own complaints
    (void)once;
    const char *path = write_fuzz_file(data, size);
    DeviceList list;
    int mapped = InitUSBMapping(list, path);
    if (mapped < 0 || mapped > 64 || list.GetItemCount() > mapped)
        abort();
    for (int row = 0; row < list.GetItemCount(); row++) {
        if (list.GetItemData(row) != nullptr)
            abort(); // mapped rows carry no record until a phone arrives
        if (row > 0 && atoi(list.text(row - 1, COL_FIXTURE_ID).c_str()) >=
                           atoi(list.text(row, COL_FIXTURE_ID).c_str()))
            abort();
        for (int col : {COL_INTERFACE_1, COL_INTERFACE_2}) {
            const std::string &name = list.text(row, col);
            if (name.size() >= STATION_NAME_MAX)
                abort();
            int found = FindMappedUSBListItem(list, name.c_str());
            if (!name.empty() && (found < 0 || found > row))
                abort();
        }
    }
    return 0;
}
