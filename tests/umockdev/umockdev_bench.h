// tests/umockdev: the emulated-libusb bench of the transport contract tests. The testbed must
// exist first (main's environment starts it).
#pragma once

#include "usb/bench.h"

#include <memory>

std::unique_ptr<Bench> make_umockdev_bench();
