// fuzz target of the device path helpers the monitor and the agent wait apply to every path the
// platform lists: GetVIDPIDFromDevicePath and ExtractInterfaceName.
//
// The bytes are a path (cut at the first zero byte, in an exact-size heap buffer). A name taken
// from it fits the 260-byte buffer, holds no '#' and is the text between the second and third
// '#'. And a path made by usb_make_device_path from the first four bytes (vid, pid) and the rest
// (an instance without '#' or zero) reads back as exactly those ids and that instance.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "usb/usb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // 1. The bytes as a path.
    size_t n = strnlen(reinterpret_cast<const char *>(data), size);
    char *path = static_cast<char *>(malloc(n + 1));
    memcpy(path, data, n);
    path[n] = '\0';
    unsigned vid = 0x12345, pid = 0x12345;
    if (GetVIDPIDFromDevicePath(path, &vid, &pid) == 0) {
        if (vid > 0xFFFF || pid > 0xFFFF || strncmp(path, "\\\\?\\usb#vid_", 12) != 0)
            abort();
    } else if (vid != 0x12345 || pid != 0x12345) {
        abort(); // outputs untouched on failure
    }
    char *name = static_cast<char *>(malloc(USB_PATH_MAX));
    memset(name, 'x', USB_PATH_MAX);
    if (ExtractInterfaceName(path, name) == 0) {
        const char *second = strchr(strchr(path, '#') + 1, '#');
        size_t len = strlen(name); // terminated inside the buffer, or ASan reports the read
        if (strchr(name, '#') || strncmp(second + 1, name, len) != 0 || second[1 + len] != '#')
            abort();
    } else if (name[0] != 'x') {
        abort();
    }
    free(path);

    // 2. A made path reads back.
    if (size >= 4) {
        const uint16_t want_vid = static_cast<uint16_t>(data[0] | data[1] << 8);
        const uint16_t want_pid = static_cast<uint16_t>(data[2] | data[3] << 8);
        std::string instance;
        for (size_t i = 4; i < size && instance.size() < 200; i++)
            if (data[i] != '#' && data[i] != '\0')
                instance += static_cast<char>(data[i]);
        const std::string made = usb_make_device_path(want_vid, want_pid, instance);
        if (GetVIDPIDFromDevicePath(made.c_str(), &vid, &pid) != 0 || vid != want_vid ||
            pid != want_pid || ExtractInterfaceName(made.c_str(), name) != 0 || instance != name)
            abort();
    }
    free(name);
    return 0;
}
