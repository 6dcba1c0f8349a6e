// The device table of -D: its exact lines for each kind of list, and what it does with
// device names that must not reach a terminal as they are.

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "CLI_Display.h"
#include "Updater.h"
#include "support.h"

namespace {

const std::string kUsbHeader =
    "    Device    Module   Router  Model          Firmware Version (Build)    Device Name\n";
const std::string kIpHeader =
    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       "
    "Device Name\n";

DeviceInfo Usb(uint32_t serial, uint32_t module, uint32_t router, uint32_t model, uint8_t major,
               uint8_t minor, uint32_t patch, uint32_t build, const std::string& name) {
  DeviceInfo info;
  info.spec.type = 1;
  info.spec.serialNumber = serial;
  info.spec.address = serial;
  info.spec.module = module;
  info.spec.router = router;
  info.spec.model = model;
  info.major = major;
  info.minor = minor;
  info.patch = patch;
  info.build = build;
  info.deviceName = name;
  return info;
}

DeviceInfo Tcp(uint32_t serial, uint32_t module, uint32_t model, const char* address, uint8_t major,
               uint8_t minor, uint32_t patch, uint32_t build, const std::string& name) {
  DeviceInfo info = Usb(serial, module, module, model, major, minor, patch, build, name);
  info.spec.type = 2;
  info.spec.address = inet_addr(address);
  info.spec.port = 8016;
  info.spec.routerSerialNumber = serial;
  return info;
}

DeviceInfo WithError(DeviceInfo info, int32_t error) {
  info.error = error;
  return info;
}

// Standard output of the table, written by a child so that the test's own output stays
// apart.
std::string Table(std::vector<DeviceInfo> list, linkType type) {
  RunResult run = RunInChild(
      [&] {
        CLI_Display display;
        _display_device_list(display, list, type);
      },
      Stdout::Pipe);
  EXPECT_TRUE(run.exitedWith(0));
  EXPECT_EQ(run.err, "");
  return run.out;
}

struct TableCase {
  const char* name;
  std::vector<DeviceInfo> list;
  linkType type;
  std::string expected;
};

void PrintTo(const TableCase& c, std::ostream* os) { *os << c.name; }

class DeviceTable : public ::testing::TestWithParam<TableCase> {};

TEST_P(DeviceTable, PrintsExactlyTheseLines) {
  const TableCase& c = GetParam();
  EXPECT_EQ(Table(c.list, c.type), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, DeviceTable,
    ::testing::Values(
        TableCase{"EmptyUsb", {}, 1, "Discovered Devices: (USB)\n    No devices found.\n"},
        TableCase{"EmptyTcp", {}, 2, "Discovered Devices: (TCPIP)\n    No devices found.\n"},
        TableCase{
            "EmptyOtherType", {}, 0, "Discovered Devices: (Unknown)\n    No devices found.\n"},
        TableCase{
            "Usb",
            {Usb(0x40F5849A, 6, 0, 17, 2, 15, 3, 4660, "Bench A"),
             Usb(0x0000BEEF, 0x7E, 0x10, 99, 1, 0, 0, 0, "")},
            1,
            "Discovered Devices: (USB)\n" + kUsbHeader +
                "    40F5849A  06       00      Ginkgo         2.15.3 (      4660)         Bench "
                "A\n"
                "    0000BEEF  7E       10      Unknown        1.0.0 (         0)         \n"},
        TableCase{
            "UsbWithErrors",
            {WithError(Usb(0x40F5849A, 0, 0, 17, 0, 0, 0, 0, ""), 5),
             Usb(0x12345678, 4, 0, 4, 2, 10, 4, 99528558, "x"),
             WithError(Usb(0x0BADF00D, 2, 0, 5, 2, 10, 3, 7, "kept out"), 18)},
            1,
            "Discovered Devices: (USB)\n" + kUsbHeader +
                "    40F5849A  [Error (5): Device in use. Close all other Zentrova associated "
                "applications.]\n"
                "    12345678  04       00      Alder          2.10.4 (  99528558)         x\n"
                "    0BADF00D  [Error (18): Device in use. Close all other Zentrova associated "
                "applications.]\n"},
        TableCase{"Tcp",
                  {Tcp(0x40F5849A, 6, 17, "192.168.1.20", 2, 15, 3, 4660, "Lab rack"),
                   Tcp(0x0000BEEF, 8, 0x22, "10.250.0.1", 0, 0, 0, 0, "")},
                  2,
                  "Discovered Devices: (TCPIP)\n" + kIpHeader +
                      "    40F5849A  06       06      Ginkgo         2.15.3 (      4660)        "
                      "[192.168.1.20]"
                      "     Lab rack\n"
                      "    0000BEEF  08       08      Unknown        0.0.0 (         0)        "
                      "[10.250.0.1]"
                      "       \n"},
        // A TCP/IP module is listed with what was read, whatever its error.
        TableCase{"TcpWithError",
                  {WithError(Tcp(0x0000BEEF, 8, 17, "255.255.255.255", 0, 0, 0, 0, ""), 25)},
                  2,
                  "Discovered Devices: (TCPIP)\n" + kIpHeader +
                      "    0000BEEF  08       08      Ginkgo         0.0.0 (         0)        "
                      "[255.255.255.255]"
                      "  \n"},
        // Routed discovery without -t: the label and header of an unknown type, the rows in the
        // form of each record's own type.
        TableCase{
            "RoutedOverUsbWithoutType",
            {Usb(0x2181F0EE, 0x0C, 0x02, 20, 2, 16, 1, 1300, ""),
             WithError(Usb(0x00C0FFEE, 0x0E, 0x02, 0, 0, 0, 0, 0, ""), 34)},
            0,
            "Discovered Devices: (Unknown)\n" + kIpHeader +
                "    2181F0EE  0C       02      Juniper        2.16.1 (      1300)         \n"
                "    00C0FFEE  [Error (34): Device in use. Close all other Zentrova associated "
                "applications.]\n"},
        // Numbers are printed with their own types: nothing turns negative.
        TableCase{"LargestNumbers",
                  {Usb(0xFFFFFFFF, 0xFF, 0xFF, 27, 255, 255, 0xFFFFFFFF, 0xFFFFFFFF, "max")},
                  1,
                  "Discovered Devices: (USB)\n" + kUsbHeader +
                      "    FFFFFFFF  FF       FF      Pinewood     255.255.4294967295 (4294967295) "
                      "        max\n"}),
    [](const ::testing::TestParamInfo<TableCase>& param) { return std::string(param.param.name); });

struct NameCase {
  const char* name;
  std::string deviceName;
  std::string shown;
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.name; }

class DeviceTableName : public ::testing::TestWithParam<NameCase> {};

// The same name must show the same way in both row forms.
TEST_P(DeviceTableName, ShowsOnlyWhatATerminalMayGet) {
  const NameCase& c = GetParam();
  const std::string usbRow =
      "    40F5849A  06       00      Ginkgo         2.15.3 (      4660)         ";
  EXPECT_EQ(Table({Usb(0x40F5849A, 6, 0, 17, 2, 15, 3, 4660, c.deviceName)}, 1),
            "Discovered Devices: (USB)\n" + kUsbHeader + usbRow + c.shown + "\n");
  const std::string tcpRow =
      "    40F5849A  06       06      Ginkgo         2.15.3 (      4660)        [127.0.0.1]"
      "        ";
  EXPECT_EQ(Table({Tcp(0x40F5849A, 6, 17, "127.0.0.1", 2, 15, 3, 4660, c.deviceName)}, 2),
            "Discovered Devices: (TCPIP)\n" + kIpHeader + tcpRow + c.shown + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Names, DeviceTableName,
    ::testing::Values(NameCase{"Plain", "Bench A (left)", "Bench A (left)"},
                      NameCase{"ThirtyTwoBytesStay", std::string(32, 'n'), std::string(32, 'n')},
                      NameCase{"LongerIsCutTo32Bytes", std::string(32, 'n') + "tail",
                               std::string(32, 'n')},
                      NameCase{"EndsAtItsFirstNul", std::string("rack\0\0\0\0garbage", 15), "rack"},
                      NameCase{"EscapeSequence", "\x1b]2;owned\x07\x1b[2J", "?]2;owned??[2J"},
                      NameCase{"LineBreaksAndTabs", "a\rb\nc\td", "a?b?c?d"},
                      NameCase{"Delete", "a\x7f", "a?"},
                      NameCase{"Utf8Stays",
                               "Pr\xc3\xbc"
                               "fstand \xe2\x84\x96"
                               "3",
                               "Pr\xc3\xbc"
                               "fstand \xe2\x84\x96"
                               "3"},
                      NameCase{"C1ControlInUtf8",
                               "a\xc2\x9b"
                               "2J",
                               "a??2J"},
                      NameCase{"RawEightBitControl",
                               "a\x9b"
                               "2J",
                               "a?2J"},
                      NameCase{"StrayContinuationAndOverlong", "\x80x\xc0\xaf", "?x??"},
                      NameCase{"SequenceCutAtTheLimit", std::string(31, 'n') + "\xc3\xbc",
                               std::string(31, 'n') + "?"}),
    [](const ::testing::TestParamInfo<NameCase>& param) { return std::string(param.param.name); });

}  // namespace
