// tests/umockdev: the transport contract (tests/usb/test_usb_contract.cpp, the very same cases)
// run a second time, on the libusb backend against emulated devices. The cases are compiled in
// from their file; only this bench's instantiation runs here (see CMakeLists.txt).
#include "usb/test_usb_contract.cpp"

#include "umockdev_bench.h"

INSTANTIATE_TEST_SUITE_P(Libusb, Contract, ::testing::Values(&make_umockdev_bench),
                         [](const auto &info) { return std::string(info.param()->name()); });
