// tests/usb: device path helpers.
#include "usb/usb.h"

#include <gtest/gtest.h>

#include <cstring>

namespace
{

TEST(UsbPath, MadePathsRoundTrip)
{
    std::string p = usb_make_device_path(0x1286, 0x8104, "1-1.4");
    EXPECT_EQ(p, "\\\\?\\usb#vid_1286&pid_8104#1-1.4#{325ddf96-938c-11d3-9e34-0080c82727f4}");
    unsigned vid = 0, pid = 0;
    EXPECT_EQ(GetVIDPIDFromDevicePath(p.c_str(), &vid, &pid), 0);
    EXPECT_EQ(vid, 0x1286u);
    EXPECT_EQ(pid, 0x8104u);
    char name[USB_PATH_MAX];
    EXPECT_EQ(ExtractInterfaceName(p.c_str(), name), 0);
    EXPECT_STREQ(name, "1-1.4");
    // Ids are always four lower-case digits.
    EXPECT_EQ(usb_make_device_path(0x8086, 0xD001, "sim-3"),
              "\\\\?\\usb#vid_8086&pid_d001#sim-3#{325ddf96-938c-11d3-9e34-0080c82727f4}");
    EXPECT_EQ(usb_make_device_path(0x1, 0xab, "x").substr(0, 26), "\\\\?\\usb#vid_0001&pid_00ab#");
}

TEST(UsbPath, IdsInEitherCaseWithTextAfter)
{
    unsigned vid = 0, pid = 0;
    EXPECT_EQ(GetVIDPIDFromDevicePath("\\\\?\\usb#vid_8086&pid_D001", &vid, &pid), 0);
    EXPECT_EQ(pid, 0xD001u);
    EXPECT_EQ(GetVIDPIDFromDevicePath("\\\\?\\usb#vid_AbCd&pid_d001&mi_00#x#y", &vid, &pid), 0);
    EXPECT_EQ(vid, 0xABCDu);
    EXPECT_EQ(GetVIDPIDFromDevicePath("\\\\?\\usb#vid_1&pid_2", &vid, &pid), 0);
    EXPECT_EQ(vid, 1u);
    EXPECT_EQ(pid, 2u);
}

TEST(UsbPath, MalformedIdsAreRefusedAndOutputsKept)
{
    const char *bad[] = {
        "",
        "\\\\?\\USB#vid_1286&pid_8104#a#b", // literal text is case-sensitive
        "\\\\?\\usb#VID_1286&pid_8104#a#b",
        "\\\\?\\usb#vid_&pid_8104#a#b", // no digits
        "\\\\?\\usb#vid_1286&pid_#a#b",
        "\\\\?\\usb#vid_1286#a#b",           // no pid at all
        "\\\\?\\usb#vid_12345&pid_8104#a#b", // not a 16-bit id
        "\\\\?\\usb#vid_1286&pid_fffff#a#b",
        "x\\\\?\\usb#vid_1286&pid_8104#a#b", // must start the path
        "\\\\?\\usb#vid_ 1286&pid_8104#a#b",
        "\\\\?\\usb#vid_-1&pid_8104#a#b",
    };
    for (const char *p : bad) {
        unsigned vid = 77, pid = 88;
        EXPECT_EQ(GetVIDPIDFromDevicePath(p, &vid, &pid), -1) << p;
        EXPECT_EQ(vid, 77u) << p;
        EXPECT_EQ(pid, 88u) << p;
    }
    unsigned v, p;
    EXPECT_EQ(GetVIDPIDFromDevicePath(nullptr, &v, &p), -1);
}

TEST(UsbPath, InterfaceNameNeedsThreeHashes)
{
    char name[USB_PATH_MAX];
    strcpy(name, "untouched");
    EXPECT_EQ(ExtractInterfaceName("no hash at all", name), -1);
    EXPECT_EQ(ExtractInterfaceName("a#b#c", name), -1); // two '#'
    EXPECT_EQ(ExtractInterfaceName(nullptr, name), -1);
    EXPECT_STREQ(name, "untouched");
    EXPECT_EQ(ExtractInterfaceName("a#b#c#", name), 0);
    EXPECT_STREQ(name, "c");
    EXPECT_EQ(ExtractInterfaceName("a#b##d#e", name), 0); // empty name, further '#' ignored
    EXPECT_STREQ(name, "");
}

TEST(UsbPath, OverLongInterfaceNameIsRefused)
{
    char name[USB_PATH_MAX];
    std::string fits = "a#b#" + std::string(USB_PATH_MAX - 1, 'x') + "#c";
    EXPECT_EQ(ExtractInterfaceName(fits.c_str(), name), 0);
    EXPECT_EQ(strlen(name), size_t(USB_PATH_MAX - 1));

    strcpy(name, "untouched");
    std::string too_long = "a#b#" + std::string(USB_PATH_MAX, 'x') + "#c";
    EXPECT_EQ(ExtractInterfaceName(too_long.c_str(), name), -1);
    EXPECT_STREQ(name, "untouched");
}

} // namespace
