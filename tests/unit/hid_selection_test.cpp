// Which USB boot loader a search takes: where each system says a device is, the claim that keeps
// two runs off one device, the selections of --port and the list of boot loaders present.

#include "hid/hid_selection.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <random>

#include "core/window_state.h"
#include "hid/hid_link.h"
#include "platform/backends.h"
#include "platform/usb_location.h"
#include "sim/hid_boot_sim.h"
#include "support/fake_window.h"
#include "support/null_backends.h"
#include "support/temp_dir.h"
#include "support/test_clock.h"

namespace kestrel {
namespace {

using sim::HidBootSim;
using sim::HidInterface;
using By = HidSelection::By;

TEST(UsbLocation, ReadsThePortFromWhatEachSystemGives) {
  struct SysfsRow {
    std::string device, root, location;
  };
  const std::string usb = "/sys/devices/pci0000:00/0000:00:14.0/usb1";
  const SysfsRow sysfs[] = {
      {usb + "/1-3/1-3.2/1-3.2:1.0/0003:FFFF:0012.0004", "/sys", "1-3.2"},
      {usb + "/1-3/1-3:1.1/0003:FFFF:0012.0005", "/sys", "1-3"},
      {usb + "/1-3/1-3.2/1-3.2.4/1-3.2.4:1.0/0003:FFFF:0012.0006", "/sys/", "1-3.2.4"},
      {"/sys/devices/virtual/misc/uhid/0003:FFFF:0012.0007", "/sys", ""},
      {"/sys/devices/pci0000:00/0000:00:15.3/i2c_designware.3/i2c-3/i2c-ELAN0001:00/"
       "0018:04F3:3140.0001",
       "/sys", ""},
      // Names above the root are not the device's, nor are paths outside it.
      {"/tmp/1-1/sys/devices/virtual/misc/uhid/0003:FFFF:0012.0008", "/tmp/1-1/sys", ""},
      {usb + "/1-3/1-3:1.0/0003:FFFF:0012.0009", "/tmp/other", ""},
      {"/sysx/devices/usb1/1-3/1-3:1.0/0003:FFFF:0012.0009", "/sys", ""},
  };
  for (const SysfsRow& row : sysfs) {
    EXPECT_EQ(usbLocationOfSysfsDevice(row.device, row.root), row.location) << row.device;
  }
  for (const char* name : {"1-3", "12-1.4.3", "1-10"}) EXPECT_TRUE(isUsbPortName(name)) << name;
  for (const char* name : {"usb1", "1-3:1.0", "1-", "-3", "1-3.", "1-3..2", "a-3", "1-3.x", ""}) {
    EXPECT_FALSE(isUsbPortName(name)) << name;
  }

  struct WindowsRow {
    std::wstring list;  // REG_MULTI_SZ as Windows gives it, terminators included
    std::wstring location;
  };
  const std::wstring port = L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)#USB(2)";
  const WindowsRow windows[] = {
      {port + L'\0' + L"ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)#ACPI(HS03)" + L'\0' + L'\0',
       port},
      {L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(12)" + std::wstring(2, L'\0'),
       L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(12)"},
      {port + L"#USBMI(0)" + std::wstring(2, L'\0'), L""},
      {L"PCIROOT(0)#PCI(1400)#USBROOT(0)" + std::wstring(2, L'\0'), L""},
      {L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB()" + std::wstring(2, L'\0'), L""},
      {std::wstring(2, L'\0'), L""},
      {port, port},  // no terminator within the size given: read to the size, not beyond
  };
  for (const WindowsRow& row : windows) {
    EXPECT_EQ(usbPortLocationPath(row.list.data(), row.list.size()), row.location);
  }
  EXPECT_EQ(usbPortLocationPath(nullptr, 4), L"");
  EXPECT_EQ(usbPortLocationPath(port.data(), 10), L"");  // cut short by the size given

  EXPECT_EQ(usbNodeKind(L"USB\\VID_FFFF&PID_0012\\SN1"), UsbNodeKind::Device);
  EXPECT_EQ(usbNodeKind(L"usb\\vid_ffff&pid_0012\\6&1a2b3c&0&2"), UsbNodeKind::Device);
  EXPECT_EQ(usbNodeKind(L"USB\\VID_FFFF&PID_0012&MI_00\\7&2B&0&0000"), UsbNodeKind::Interface);
  EXPECT_EQ(usbNodeKind(L"USB\\VID_FFFF&PID_0012\\A&MI_00"), UsbNodeKind::Device);
  EXPECT_EQ(usbNodeKind(L"HID\\VID_FFFF&PID_0012\\7&2B&0&0000"), UsbNodeKind::NotUsb);
  EXPECT_EQ(usbNodeKind(L"BTHENUM\\{00001124}"), UsbNodeKind::NotUsb);

  const std::string path = R"(\\?\hid#vid_ffff&pid_0012#7&2b1c&0&0000#{4d1e55b2-f16f-11cf})";
  const std::string name = hidClaimName(path);
  EXPECT_EQ(name.rfind("Global\\", 0), 0u) << name;
  EXPECT_EQ(name.find('\\', 7), std::string::npos) << name;
  EXPECT_EQ(hidClaimName(R"(\\?\HID#VID_FFFF&PID_0012#7&2B1C&0&0000#{4D1E55B2-F16F-11CF})"), name);
  EXPECT_NE(hidClaimName(R"(\\?\hid#vid_ffff&pid_0012#7&2b1c&0&0001#{4d1e55b2-f16f-11cf})"), name);
}

#ifndef _WIN32
// The backend's walk from a hidraw node through sysfs, in a sysfs of the test's own.
TEST(UsbLocation, FollowsSysfsFromTheHidrawNodeToItsUsbDevice) {
  namespace fs = std::filesystem;
  test::TempDir dir;
  // A root whose own name looks like a USB device: it must not be taken for one.
  const fs::path root = dir.path() / "2-1" / "sys";
  auto node = [&](const std::string& name, const std::string& device) {
    fs::create_directories(root / "devices" / device / "hidraw" / name);
    fs::create_directories(root / "class" / "hidraw");
    // As in the kernel's sysfs: the class entry links to the node's folder, whose "device" links
    // back up to the HID device.
    fs::create_directory_symlink(fs::path("../../devices") / device / "hidraw" / name,
                                 root / "class" / "hidraw" / name);
    fs::create_directory_symlink("../..", root / "devices" / device / "hidraw" / name / "device");
  };
  const std::string hub = "pci0000:00/0000:00:14.0/usb1/1-3";
  node("hidraw3", hub + "/1-3.2/1-3.2:1.0/0003:FFFF:0012.0004");
  node("hidraw4", hub + "/1-3:1.1/0003:046D:C31C.0002");
  node("hidraw5", "virtual/misc/uhid/0003:FFFF:0012.0009");
  EXPECT_EQ(hidrawUsbLocation(root.string(), "hidraw3"), "1-3.2");
  EXPECT_EQ(hidrawUsbLocation(root.string() + "/", "hidraw4"), "1-3");
  EXPECT_EQ(hidrawUsbLocation(root.string(), "hidraw5"), "");
  EXPECT_EQ(hidrawUsbLocation(root.string(), "hidraw9"), "");
  EXPECT_EQ(hidrawUsbLocation(root.string(), "../hidraw/hidraw3"), "");
  EXPECT_EQ(hidrawUsbLocation((dir.path() / "nowhere").string(), "hidraw3"), "");
}
#endif

// The platform's own claim: what two runs of the program, or the window and a run, meet on.
TEST(HidClaims, ASecondClaimOnADeviceIsRefusedUntilTheFirstLetsGo) {
  test::TempDir dir;
  std::random_device random;
#ifdef _WIN32
  // The claim is a name: the device need not exist.
  const std::string path = "\\\\?\\hid#vid_ffff&pid_0012#kestrel-test-" + std::to_string(random()) +
                           "#{4d1e55b2-f16f-11cf-88cb-001111000030}";
  std::string samePath = path;
  for (char& c : samePath) c = char(std::toupper(static_cast<unsigned char>(c)));
#else
  // The claim is a lock on the node, which has to exist.
  const std::string path = (dir.path() / "hidraw7").string();
  test::writeFile(path, {});
  const std::string samePath = (dir.path() / "." / "hidraw7").string();
  const std::string missing = (dir.path() / "hidraw8").string();
  bool busy = true;
  EXPECT_EQ(hidBackend().claim(missing, &busy), nullptr);
  EXPECT_FALSE(busy) << "a device that is not there is not busy";
  EXPECT_EQ(hidBackend().claimState(missing), HidClaimState::Unknown);
#endif
  HidApi& hid = hidBackend();
  EXPECT_EQ(hid.claimState(path), HidClaimState::Free);
  bool busy1 = true;
  std::unique_ptr<HidClaim> first = hid.claim(path, &busy1);
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(busy1);
  EXPECT_EQ(hid.claimState(path), HidClaimState::Busy);
  for (const std::string& p : {path, samePath}) {
    bool busy2 = false;
    EXPECT_EQ(hid.claim(p, &busy2), nullptr) << p;
    EXPECT_TRUE(busy2) << p;
  }
  // Looking at a claim takes none: the device is still free for the next claim.
  first.reset();
  EXPECT_EQ(hid.claimState(path), HidClaimState::Free);
  EXPECT_EQ(hid.claimState(path), HidClaimState::Free);
  bool busy3 = true;
  EXPECT_NE(hid.claim(path, &busy3), nullptr);
  EXPECT_FALSE(busy3);
}

HidInterface iface(const std::string& path, uint16_t vendor, uint16_t version,
                   const std::string& location, const std::string& serial) {
  return HidInterface{path, {vendor, 0x0012, version}, true, true, serial, location};
}

// A keyboard and four devices of the boot loader's vendor and product on a hub; two share a serial
// number, one has another version but a serial number of a boot loader.
class HidSelect : public ::testing::Test {
 protected:
  HidSelect()
      : hid({iface("/dev/hidraw0", 0x046D, 0x0100, "1-1", "S1"),
             iface("/dev/hidraw1", 0xFFFF, 0x0100, "1-3.1", "S1"),
             iface("/dev/hidraw2", 0xFFFF, 0x0100, "1-3.2", "DUP"),
             iface("/dev/hidraw3", 0xFFFF, 0x0100, "1-3.3", "DUP"),
             iface("/dev/hidraw4", 0xFFFF, 0x0101, "1-4", "S1"),
             iface("/dev/hidraw5", 0xFFFF, 0x0100, "", "")}),
        w(clock, serial, hid) {}

  // The path the search took, or what it missed.
  std::string find(const HidSelection& selection) {
    HidMiss miss = HidMiss::None;
    bool found = FindHidDevice(w, selection, &miss);
    EXPECT_EQ(found, miss == HidMiss::None);
    std::string took;
    for (int i = 0; i <= 5; ++i) {
      std::string p = "/dev/hidraw" + std::to_string(i);
      if (hid.openHandlesOn(p) == 2 && hid.claimed(p)) took = p;
    }
    EXPECT_EQ(hid.openHandles(), found ? 2 : 0);
    EXPECT_EQ(w.hid.hidClaim.held(), found);
    CloseHidDevice(w);
    EXPECT_EQ(hid.openHandles(), 0);
    EXPECT_FALSE(hid.claimed(took)) << "CloseHidDevice lets the claim go";
    switch (miss) {
      case HidMiss::None:
        return took;
      case HidMiss::NotFound:
        return "not found";
      case HidMiss::Busy:
        return "busy";
      case HidMiss::SerialNumberShared:
        return "shared";
      default:
        return "other";
    }
  }

  test::ManualClock clock;
  test::NoSerialPorts serial;
  HidBootSim hid;
  test::FakeWindow w;
};

TEST_F(HidSelect, TakesTheBootLoaderSelectedAndNoOther) {
  struct Row {
    By by;
    std::string value, took;
  };
  const Row rows[] = {
      {By::First, "", "/dev/hidraw1"},
      {By::Location, "1-3.2", "/dev/hidraw2"},
      {By::Location, "1-3.3", "/dev/hidraw3"},
      {By::Location, "1-4", "not found"},  // another version
      {By::Location, "1-1", "not found"},  // another device
      {By::Location, "1-3", "not found"},  // the hub is not a device under it
      {By::Location, "9-9", "not found"},
      {By::SerialNumber, "S1", "/dev/hidraw1"},  // the other "S1"s are no boot loaders
      {By::SerialNumber, "DUP", "shared"},
      {By::SerialNumber, "s1", "not found"},
      {By::SerialNumber, "NONE", "not found"},
      {By::Path, "/dev/hidraw5", "/dev/hidraw5"},
      {By::Path, "/dev/hidraw0", "not found"},
  };
  for (const Row& row : rows) {
    HidSelection selection{row.by, row.value};
    SCOPED_TRACE(selection.portText());
    EXPECT_EQ(find(selection), row.took);
  }
  EXPECT_TRUE(w.messages().empty());
}

TEST_F(HidSelect, ABootLoaderClaimedElsewhereIsNeverOpened) {
  bool busy = false;
  std::unique_ptr<HidClaim> elsewhere = hid.claim("/dev/hidraw1", &busy);
  ASSERT_NE(elsewhere, nullptr);
  // The window's search goes on to the next boot loader, as past one it cannot open.
  EXPECT_EQ(find({}), "/dev/hidraw2");
  EXPECT_EQ(find({By::Location, "1-3.1"}), "busy");
  EXPECT_EQ(find({By::SerialNumber, "S1"}), "busy");
  std::unique_ptr<HidClaim> second = hid.claim("/dev/hidraw2", &busy);
  std::unique_ptr<HidClaim> third = hid.claim("/dev/hidraw3", &busy);
  std::unique_ptr<HidClaim> fifth = hid.claim("/dev/hidraw5", &busy);
  EXPECT_EQ(find({}), "busy");
  // Two boot loaders with one serial number stay two, busy or not.
  EXPECT_EQ(find({By::SerialNumber, "DUP"}), "shared");
  EXPECT_EQ(hid.openHandlesOn("/dev/hidraw1"), 0);
  elsewhere.reset();
  EXPECT_EQ(find({By::Location, "1-3.1"}), "/dev/hidraw1");
}

TEST_F(HidSelect, ListsTheBootLoadersWithoutOpeningThem) {
  bool busy = false;
  std::unique_ptr<HidClaim> elsewhere = hid.claim("/dev/hidraw3", &busy);
  std::vector<BootLoaderListing> list;
  ASSERT_TRUE(listBootLoaders(hid, &list));
  ASSERT_EQ(list.size(), 5u);
  struct Expected {
    std::string path, location, serial;
    bool bootLoader, shared;
    HidClaimState claim;
  };
  const Expected expected[] = {
      {"/dev/hidraw1", "1-3.1", "S1", true, false, HidClaimState::Free},
      {"/dev/hidraw2", "1-3.2", "DUP", true, true, HidClaimState::Free},
      {"/dev/hidraw3", "1-3.3", "DUP", true, true, HidClaimState::Busy},
      {"/dev/hidraw4", "1-4", "S1", false, false, HidClaimState::Free},
      {"/dev/hidraw5", "", "", true, false, HidClaimState::Free},
  };
  for (size_t i = 0; i < list.size(); ++i) {
    SCOPED_TRACE(expected[i].path);
    EXPECT_EQ(list[i].device.path, expected[i].path);
    EXPECT_EQ(list[i].device.location, expected[i].location);
    EXPECT_EQ(list[i].device.serialNumber, expected[i].serial);
    EXPECT_EQ(list[i].bootLoader, expected[i].bootLoader);
    EXPECT_EQ(list[i].serialNumberShared, expected[i].shared);
    EXPECT_EQ(list[i].claim, expected[i].claim);
  }
  EXPECT_EQ(hid.openHandles(), 0);
  EXPECT_TRUE(hid.claimed("/dev/hidraw3"));
  EXPECT_FALSE(hid.claimed("/dev/hidraw2"));

  HidBootSim broken({}, {.listFails = true});
  EXPECT_FALSE(listBootLoaders(broken, &list));
  EXPECT_TRUE(list.empty());
}

TEST(UsbPortText, ReadsEveryFormAndRefusesOnesThatNameNothing) {
  struct Row {
    std::string text;
    UsbPortParse parse;
    bool every;
    HidSelection selection;
  };
  const Row rows[] = {
      {"usb", UsbPortParse::Ok, false, {}},
      {"usb:*", UsbPortParse::Ok, true, {}},
      {"usb:1-3.2", UsbPortParse::Ok, false, {By::Location, "1-3.2"}},
      {"usb:PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)",
       UsbPortParse::Ok,
       false,
       {By::Location, "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)"}},
      {"usb:serial=A1:B2=", UsbPortParse::Ok, false, {By::SerialNumber, "A1:B2="}},
      {"usb:serial= 7", UsbPortParse::Ok, false, {By::SerialNumber, " 7"}},
      {"usb:path=/dev/hidraw3", UsbPortParse::Ok, false, {By::Path, "/dev/hidraw3"}},
      {"usb:", UsbPortParse::Invalid, false, {}},
      {"usb:serial=", UsbPortParse::Invalid, false, {}},
      {"usb:path=", UsbPortParse::Invalid, false, {}},
      {"USB", UsbPortParse::NotUsb, false, {}},
      {"usb1", UsbPortParse::NotUsb, false, {}},
      {"COM1", UsbPortParse::NotUsb, false, {}},
      {"/dev/usb:1", UsbPortParse::NotUsb, false, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    UsbPort port;
    port.selection.value = "untouched";
    std::string error;
    EXPECT_EQ(parseUsbPort(row.text, &port, &error), row.parse);
    EXPECT_EQ(error.empty(), row.parse != UsbPortParse::Invalid) << error;
    if (row.parse != UsbPortParse::Ok) continue;
    EXPECT_EQ(port.every, row.every);
    EXPECT_EQ(port.selection.by, row.selection.by);
    EXPECT_EQ(port.selection.value, row.selection.value);
    if (!row.every) {
      EXPECT_EQ(port.selection.portText(), row.text) << "read back as written";
    }
  }
}

}  // namespace
}  // namespace kestrel
