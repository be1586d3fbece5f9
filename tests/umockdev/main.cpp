// tests/umockdev: entry point of the emulated-libusb test programs. Re-executes the program under
// umockdev's preload library before anything else runs, creates the process's one testbed before
// any test (and so before libusb), and removes it at the end.
#include "support/umockdev_bus.h"

#include <gtest/gtest.h>

namespace
{

class Testbed : public ::testing::Environment
{
  public:
    void SetUp() override
    {
        if (!umockbus::preloaded())
            GTEST_SKIP() << umockbus::unavailable_reason();
        ASSERT_EQ(umockbus::start(), 0) << "umockdev could not create a testbed";
    }
};

} // namespace

int main(int argc, char **argv)
{
    umockbus::reexec_with_preload(argv);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new Testbed);
    int rc = RUN_ALL_TESTS();
    umockbus::stop();
    return rc;
}
