#include "sim/hid_boot_sim.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "platform/backends.h"

namespace kestrel::sim {
namespace {

constexpr size_t kReport = 65;
constexpr size_t kBlock = 2048;
const auto kSlot = std::chrono::microseconds(1000);

}  // namespace

class HidBootSim::Handle final : public HidDevice {
 public:
  Handle(HidBootSim* sim, HidInterface iface) : sim_(sim), iface_(std::move(iface)) {}
  ~Handle() override { sim_->closed(iface_.path); }
  void cancel() override {
    cancelled_ = true;
    sim_->wake();
  }
  bool write(const uint8_t* report, size_t n, HidError* err) override {
    if (cancelled_) {
      *err = {ECANCELED, false};
      return false;
    }
    return sim_->write(iface_.path, report, n, err);
  }
  int read(uint8_t* buf, size_t n, int timeoutMs, HidError* err) override {
    return sim_->read(iface_.path, buf, n, timeoutMs, err, cancelled_);
  }
  bool attributes(HidAttributes* out) override {
    if (!iface_.attributesReadable) return false;
    *out = iface_.attributes;
    return true;
  }

 private:
  HidBootSim* sim_;
  HidInterface iface_;
  std::atomic<bool> cancelled_{false};
};

class HidBootSim::Claim final : public HidClaim {
 public:
  Claim(HidBootSim* sim, std::string path) : sim_(sim), path_(std::move(path)) {}
  ~Claim() override {
    std::lock_guard lock(sim_->mutex_);
    sim_->claims_.erase(path_);
  }

 private:
  HidBootSim* sim_;
  std::string path_;
};

HidBootSim::HidBootSim(std::vector<HidInterface> interfaces, HidFaults faults, std::string bootPath)
    : interfaces_(std::move(interfaces)), bootPath_(std::move(bootPath)), faults_(faults) {}

void HidBootSim::replace(HidFaults faults) {
  std::lock_guard lock(mutex_);
  faults_ = faults;
  unplugged_ = false;
  started_ = false;
  input_.clear();
  reports_.clear();
  violations_.clear();
  pages_.clear();
  flash_.clear();
  dataReports_ = -1;
  exchange_ = -1;
  finished_ = 0;
  starts_ = 0;
}

HidBootSim::~HidBootSim() = default;

HidInterface HidBootSim::bootLoader(std::string path) {
  return HidInterface{std::move(path), {0xFFFF, 0x0012, 0x0100}, true, true, "", ""};
}

bool HidBootSim::enumerate(std::vector<HidInterfaceInfo>* interfaces) {
  if (onEnumerate) onEnumerate();
  std::lock_guard lock(mutex_);
  interfaces->clear();
  if (faults_.listFails) return false;
  for (const auto& i : interfaces_) {
    if (i.path == bootPath_ && unplugged_) continue;
    interfaces->push_back({i.path, i.attributes, i.serialNumber, i.location});
  }
  return true;
}

std::unique_ptr<HidClaim> HidBootSim::claim(const std::string& path, bool* busy) {
  std::lock_guard lock(mutex_);
  *busy = claims_.count(path) != 0;
  if (*busy) return nullptr;
  claims_.insert(path);
  return std::make_unique<Claim>(this, path);
}

HidClaimState HidBootSim::claimState(const std::string& path) {
  std::lock_guard lock(mutex_);
  return claims_.count(path) ? HidClaimState::Busy : HidClaimState::Free;
}

bool HidBootSim::claimed(const std::string& path) const {
  std::lock_guard lock(mutex_);
  return claims_.count(path) != 0;
}

int HidBootSim::startReports() const {
  std::lock_guard lock(mutex_);
  return starts_;
}

int HidBootSim::finishedDownloads() const {
  std::lock_guard lock(mutex_);
  return finished_;
}

bool HidBootSim::unplugged() const {
  std::lock_guard lock(mutex_);
  return unplugged_;
}

size_t HidBootSim::inputWaiting() const {
  std::lock_guard lock(mutex_);
  return input_.size();
}

std::unique_ptr<HidDevice> HidBootSim::open(const std::string& path, HidUse) {
  for (const auto& i : interfaces_) {
    if (i.path != path) continue;
    if (!i.openable) return nullptr;
    std::lock_guard lock(mutex_);
    if (path == bootPath_ && unplugged_) return nullptr;
    ++open_[path];
    return std::make_unique<Handle>(this, i);
  }
  return nullptr;
}

void HidBootSim::closed(const std::string& path) {
  std::lock_guard lock(mutex_);
  --open_[path];
}

bool HidBootSim::write(const std::string& path, const uint8_t* report, size_t n, HidError* err) {
  std::unique_lock lock(mutex_);
  if (path != bootPath_) return true;
  int index = int(reports_.size());
  if (faults_.unplugAt >= 0 && index >= faults_.unplugAt) unplugged_ = true;
  if (unplugged_) {
    *err = {ENODEV, true};
    cv_.notify_all();
    return false;
  }
  if (index == faults_.writeFailAt) {
    reports_.emplace_back();  // counted, not taken
    // Whether the error means "gone" is the platform backend's rule, as with a real device.
    *err = {faults_.writeErrno, hidWriteMeansGone(faults_.writeErrno)};
    return false;
  }
  if (faults_.paced) {
    // One report per 1 ms frame on a fixed grid: a report handed over during a frame goes out in
    // it, so a writer that wakes a little late does not lose the frame.
    auto now = std::chrono::steady_clock::now();
    int64_t frame =
        std::chrono::duration_cast<std::chrono::microseconds>(now - frameOrigin_).count() / 1000;
    frame = std::max(frame, lastFrame_ + 1);
    lastFrame_ = frame;
    lock.unlock();
    std::this_thread::sleep_until(frameOrigin_ + kSlot * (frame + 1));
    lock.lock();
  }
  reports_.emplace_back(report, report + n);
  onReport(reports_.back());
  return true;
}

void HidBootSim::onReport(const std::vector<uint8_t>& r) {
  auto violation = [&](const std::string& what) {
    violations_.push_back("report " + std::to_string(reports_.size() - 1) + ": " + what);
  };
  if (r.size() != kReport || r[0] != 0x00) return violation("not a whole 65-byte report with ID 0");
  switch (r[1]) {
    case 0xB5:
      if (std::any_of(r.begin() + 2, r.end(), [](uint8_t b) { return b != 0; }))
        violation("start report not zero-filled");
      started_ = true;
      ++starts_;
      return;
    case 0xAA:
      if (!started_) violation("header before the start report");
      if (dataReports_ >= 0) violation("header in the middle of a block");
      if (r[5] != 0x04 || std::any_of(r.begin() + 6, r.end(), [](uint8_t b) { return b != 0; })) {
        violation("header bytes 5 to 64 wrong");
      }
      page_ = uint16_t(r[2] << 8 | r[3]);
      checksum_ = r[4];
      pages_.push_back(page_);
      ++exchange_;
      block_.clear();
      dataReports_ = 0;
      return;
    case 0x55: {
      if (dataReports_ < 0) return violation("data report outside a block");
      size_t n = dataReports_ < 40 ? 50 : 48;
      if (r[2] != n)
        violation("data report " + std::to_string(dataReports_) + " has size " +
                  std::to_string(r[2]));
      if (std::any_of(r.begin() + 53, r.end(), [](uint8_t b) { return b != 0; }))
        violation("filler bytes 53 to 64 not zero");
      if (dataReports_ == 40 && (r[51] != block_[1998] || r[52] != block_[1999])) {
        violation("last data report does not carry bytes 1998 and 1999 over");
      }
      block_.insert(block_.end(), r.begin() + 3, r.begin() + 3 + long(n));
      if (++dataReports_ < 41) return;
      dataReports_ = -1;
      uint8_t sum = 0;
      for (uint8_t b : block_) sum = uint8_t(sum + b);
      sum = uint8_t(sum + page_);
      if (sum != checksum_) return violation("checksum of block at page " + std::to_string(page_));
      size_t at = size_t(page_) * 256;
      if (flash_.size() < at + kBlock) flash_.resize(at + kBlock, 0xFF);
      std::copy(block_.begin(), block_.end(), flash_.begin() + long(at));
      if (page_ == 0) ++finished_;
      acknowledge();
      return;
    }
    default:
      violation("unknown report code");
  }
}

void HidBootSim::acknowledge() {
  if (exchange_ == faults_.shortReportAt) input_.push_back({0x00, 0x01});
  if (exchange_ == faults_.readFailAt) input_.emplace_back();
  if (faults_.noAck || faults_.manualAck || exchange_ == faults_.noAckAt) {
    cv_.notify_all();
    return;
  }
  std::vector<uint8_t> ack(kReport, 0);
  ack[2] = 'U';
  ack[3] = '5';
  ack[4] = 'U';
  input_.push_back(ack);
  cv_.notify_all();
}

void HidBootSim::wake() {
  std::lock_guard lock(mutex_);
  cv_.notify_all();
}

int HidBootSim::read(const std::string& path, uint8_t* buf, size_t n, int timeoutMs, HidError* err,
                     const std::atomic<bool>& cancelled) {
  std::unique_lock lock(mutex_);
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  if (cancelled) {
    // A cancelled handle delivers nothing; waiting keeps a polling caller from spinning.
    cv_.wait_until(lock, until, [] { return false; });
    return 0;
  }
  if (path != bootPath_) {
    cv_.wait_until(lock, until, [&] { return cancelled.load(); });
    return 0;
  }
  bool ready =
      cv_.wait_until(lock, until, [&] { return cancelled || unplugged_ || !input_.empty(); });
  if (cancelled) return 0;
  if (unplugged_) {
    *err = {ENODEV, true};
    return -1;
  }
  if (!ready) return 0;
  std::vector<uint8_t> report = std::move(input_.front());
  input_.pop_front();
  if (report.empty()) {
    // As with a real device, whether the error means "gone" is the platform backend's rule.
    *err = {faults_.readErrno, hidReadMeansGone(faults_.readErrno), faults_.readFailsAfterWait};
    return -1;
  }
  if (faults_.paced) {
    lock.unlock();
    std::this_thread::sleep_for(kSlot);
  }
  size_t count = std::min(n, report.size());
  std::copy(report.begin(), report.begin() + long(count), buf);
  return int(count);
}

void HidBootSim::deliver(std::vector<uint8_t> report) {
  std::lock_guard lock(mutex_);
  input_.push_back(std::move(report));
  cv_.notify_all();
}

void HidBootSim::deliverAck() {
  std::vector<uint8_t> ack(kReport, 0);
  ack[2] = 'U';
  ack[3] = '5';
  ack[4] = 'U';
  deliver(ack);
}

void HidBootSim::unplug() {
  std::lock_guard lock(mutex_);
  unplugged_ = true;
  cv_.notify_all();
}

int HidBootSim::openHandles() const {
  std::lock_guard lock(mutex_);
  int total = 0;
  for (const auto& [path, count] : open_) total += count;
  return total;
}
int HidBootSim::openHandlesOn(const std::string& path) const {
  std::lock_guard lock(mutex_);
  auto it = open_.find(path);
  return it == open_.end() ? 0 : it->second;
}
bool HidBootSim::started() const {
  std::lock_guard lock(mutex_);
  return started_;
}
std::vector<uint16_t> HidBootSim::pages() const {
  std::lock_guard lock(mutex_);
  return pages_;
}
std::vector<uint8_t> HidBootSim::image() const {
  std::lock_guard lock(mutex_);
  return flash_;
}
std::vector<std::string> HidBootSim::violations() const {
  std::lock_guard lock(mutex_);
  return violations_;
}
std::vector<std::vector<uint8_t>> HidBootSim::reports() const {
  std::lock_guard lock(mutex_);
  return reports_;
}
int HidBootSim::reportsWritten() const {
  std::lock_guard lock(mutex_);
  return int(reports_.size());
}

}  // namespace kestrel::sim
