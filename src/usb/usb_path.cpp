// usb: device interface paths. Built by the backends' enumeration, read by discovery and the
// flashing sequence (ids and interface name) and by usb_open (which backend, which device).
//
// The Windows path form is kept so the interface name (the instance between the second and
// third '#') still names the hub port a fixture is wired to.
#include "usb/usb.h"

#include <cstdio>
#include <cstring>

namespace
{

const char kClassSuffix[] = "#{325ddf96-938c-11d3-9e34-0080c82727f4}";

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads one or more hex digits at *p into a 16-bit id; advances *p. False when there is no digit
// or the number does not fit a USB id.
bool read_id(const char **p, unsigned *out)
{
    unsigned v = 0;
    int n = 0;
    for (int d; (d = hex_digit(**p)) >= 0; ++*p, ++n) {
        v = v * 16 + static_cast<unsigned>(d);
        if (v > 0xFFFF)
            return false;
    }
    *out = v;
    return n > 0;
}

bool skip_literal(const char **p, const char *lit)
{
    size_t n = strlen(lit);
    if (strncmp(*p, lit, n) != 0)
        return false;
    *p += n;
    return true;
}

} // namespace

std::string usb_make_device_path(uint16_t vid, uint16_t pid, const std::string &instance)
{
    char head[32];
    snprintf(head, sizeof head, "\\\\?\\usb#vid_%04x&pid_%04x#", vid, pid);
    return head + instance + kClassSuffix;
}

int GetVIDPIDFromDevicePath(const char *szPath, unsigned int *ret_vid, unsigned int *ret_pid)
{
    if (!szPath || !ret_vid || !ret_pid)
        return -1;
    const char *p = szPath;
    unsigned vid = 0, pid = 0;
    if (!skip_literal(&p, "\\\\?\\usb#vid_") || !read_id(&p, &vid) || !skip_literal(&p, "&pid_") ||
        !read_id(&p, &pid))
        return -1;
    *ret_vid = vid;
    *ret_pid = pid;
    return 0;
}

int ExtractInterfaceName(const char *dev_path, char *interface_name)
{
    if (!dev_path || !interface_name)
        return -1;
    const char *first = strchr(dev_path, '#');
    const char *second = first ? strchr(first + 1, '#') : nullptr;
    const char *third = second ? strchr(second + 1, '#') : nullptr;
    if (!third)
        return -1;
    size_t len = static_cast<size_t>(third - (second + 1));
    // A name that does not fit the buffer is refused rather than cut: a cut name could match
    // another fixture's port.
    if (len > USB_PATH_MAX - 1)
        return -1;
    memcpy(interface_name, second + 1, len);
    interface_name[len] = '\0';
    return 0;
}
