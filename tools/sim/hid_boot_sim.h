#pragma once

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform_api/hid_device.h"

namespace kestrel::sim {

// One HID interface the simulated system lists.
struct HidInterface {
  std::string path;
  HidAttributes attributes;
  bool openable = true;
  bool attributesReadable = true;
  std::string serialNumber;
  std::string location;
};

// Fault switches of the simulated HID boot loader. Block exchange n is the n-th header report
// of a download (0-based): blocks 1 to N - 1, then block 0.
struct HidFaults {
  bool listFails = false;  // The list of interfaces cannot be had.
  bool noAck = false;      // Never acknowledges a block.
  int noAckAt = -1;        // Does not acknowledge exchange n.
  bool manualAck = false;  // Acknowledges only when the test calls deliverAck().
  int shortReportAt = -1;  // Sends a 2-byte input report before exchange n's acknowledgement.
  int writeFailAt = -1;    // The n-th output report (0 is the start report) fails...
  int writeErrno = 0;      // ...with this system error number (errno, or Windows' code).
  int unplugAt = -1;       // The device is gone from the n-th output report on.
  bool paced = false;      // One report each way per millisecond, as on an interrupt endpoint.
  int readFailAt = -1;     // The read that would bring exchange n's acknowledgement fails...
  int readErrno = 0;       // ...with this system error number, once; the next read brings it...
  bool readFailsAfterWait = false;  // ...and the failure is that of fetching a waited result.
};

// Where the boot loader is unless a test puts it elsewhere.
inline constexpr const char* kBootLoaderPath = "/dev/hidraw-boot";

// The HID layer of a machine with the given interfaces, one of which may be the boot loader
// (vendor 0xFFFF, product 0x0012, version 0x0100). The boot loader checks every report it is
// sent (start report, header with page address and checksum, 41 data reports with their sizes,
// filler and carried-over bytes), records the image and answers each block with an
// acknowledgement report carrying "U5U" at bytes 2 to 4. The interface at `bootPath` is the
// simulated boot loader; the others, whatever they say of themselves, take reports and never
// answer. Claims are kept as the platform's are: one per path, held until the claim is destroyed.
// Thread-safe.
class HidBootSim final : public HidApi {
 public:
  explicit HidBootSim(std::vector<HidInterface> interfaces, HidFaults faults = {},
                      std::string bootPath = kBootLoaderPath);
  ~HidBootSim() override;

  static HidInterface bootLoader(std::string path = kBootLoaderPath);

  bool enumerate(std::vector<HidInterfaceInfo>* interfaces) override;
  std::unique_ptr<HidDevice> open(const std::string& path, HidUse use) override;
  std::unique_ptr<HidClaim> claim(const std::string& path, bool* busy) override;
  HidClaimState claimState(const std::string& path) override;

  int openHandles() const;
  int openHandlesOn(const std::string& path) const;
  bool started() const;                               // The start report came.
  std::vector<uint16_t> pages() const;                // Header page addresses, in order.
  std::vector<uint8_t> image() const;                 // Flash written, up to the highest block.
  std::vector<std::string> violations() const;        // Reports that broke the protocol.
  std::vector<std::vector<uint8_t>> reports() const;  // Every output report to the boot loader.
  int reportsWritten() const;
  bool unplugged() const;    // The boot loader is gone (unplug(), or the unplugAt fault).
  size_t inputWaiting() const;  // Input reports queued that no read has taken yet.
  int startReports() const;  // Start reports taken: downloads begun.
  // Downloads that reached their end: block 0, which goes last, written to the flash.
  int finishedDownloads() const;
  bool claimed(const std::string& path) const;

  // Queues an input report for the boot loader's read handles (report ID at byte 0).
  void deliver(std::vector<uint8_t> report);
  // Queues an acknowledgement report.
  void deliverAck();
  // From now on every call on the boot loader's handles fails as for an unplugged device.
  void unplug();
  // A fresh device with these faults: plugged in, its flash, reports and counts cleared.
  void replace(HidFaults faults);

  // Runs whenever the interfaces are listed, before the list is given. Set it before use.
  std::function<void()> onEnumerate;

 private:
  class Handle;
  friend class Handle;
  class Claim;
  friend class Claim;
  bool write(const std::string& path, const uint8_t* report, size_t n, HidError* err);
  int read(const std::string& path, uint8_t* buf, size_t n, int timeoutMs, HidError* err,
           const std::atomic<bool>& cancelled);
  void wake();  // Wakes the reads waiting for input.
  void closed(const std::string& path);
  void onReport(const std::vector<uint8_t>& r);  // Needs mutex_.
  void acknowledge();                            // Needs mutex_.

  const std::vector<HidInterface> interfaces_;
  const std::string bootPath_;

  mutable std::mutex mutex_;  // Guards everything below.
  HidFaults faults_;
  std::condition_variable cv_;
  std::map<std::string, int> open_;
  std::set<std::string> claims_;
  std::deque<std::vector<uint8_t>> input_;  // An empty entry: that read fails (readFailAt).
  std::vector<std::vector<uint8_t>> reports_;
  std::vector<std::string> violations_;
  std::vector<uint16_t> pages_;
  std::vector<uint8_t> flash_;
  std::vector<uint8_t> block_;
  int dataReports_ = -1;  // Data reports taken for the current block; -1 outside a block.
  uint16_t page_ = 0;
  uint8_t checksum_ = 0;
  int exchange_ = -1;
  int finished_ = 0;
  int starts_ = 0;
  bool started_ = false;
  bool unplugged_ = false;
  const std::chrono::steady_clock::time_point frameOrigin_ = std::chrono::steady_clock::now();
  int64_t lastFrame_ = -1;
};

}  // namespace kestrel::sim
