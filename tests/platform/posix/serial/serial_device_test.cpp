#include "platform/posix/serial/serial_device.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temporary_directory.h"

namespace pelvaro {
namespace {

TEST(SerialDeviceName, IsComNWhereThatNameIsALinkOrDeviceElseTheKernelsTtySNMinusOne) {
  const testing::TemporaryDirectory dev;
  const std::string folder = dev.path().string();
  std::filesystem::create_symlink(dev.path() / "absent-adapter", dev.path() / "COM3");
  std::filesystem::create_symlink("/dev/null", dev.path() / "COM4");
  dev.write("COM5", "a\n");  // what `echo a > /dev/COM5` leaves: no port
  std::filesystem::create_directory(dev.path() / "COM6");

  EXPECT_EQ(serial_device_name(1, folder), folder + "/ttyS0");
  EXPECT_EQ(serial_device_name(3, folder), folder + "/COM3");  // even when it leads nowhere
  EXPECT_EQ(serial_device_name(4, folder), folder + "/COM4");
  EXPECT_EQ(serial_device_name(5, folder), folder + "/ttyS4");
  EXPECT_EQ(serial_device_name(6, folder), folder + "/ttyS5");
  EXPECT_EQ(serial_device_name(25, folder), folder + "/ttyS24");
}

}  // namespace
}  // namespace pelvaro
