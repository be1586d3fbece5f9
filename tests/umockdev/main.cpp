// tests/umockdev: entry point of the emulated-libusb test programs. Re-executes the program under
// umockdev's preload library before anything else runs, then removes the testbed at the end.
#include "support/umockdev_bus.h"

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    umockbus::reexec_with_preload(argv);
    ::testing::InitGoogleTest(&argc, argv);
    int rc = RUN_ALL_TESTS();
    umockbus::stop();
    return rc;
}
