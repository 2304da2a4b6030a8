#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrel::sim {

// Fault switches of the simulated serial boot loader. Exchange n is the n-th "UFLHU" of a
// download (0-based): blocks 1 to N - 1, then block 0.
struct SerialFaults {
  bool silent = false;                // Wakes, but never sends a byte.
  bool noClearAck = false;            // Does not acknowledge "UCLRU".
  bool wrongClearAnswer = false;      // Answers "UCLRU" with the five letters "ABCDE".
  std::vector<uint8_t> answerPrefix;  // Sent in front of the 0x5A answer, in the same burst.
  int noCommandAckAt = -1;            // No acknowledgement of exchange n's "UFLHU".
  int noFrameAckAt = -1;              // No acknowledgement of exchange n's frame.
  int strayBeforeAckAt = -1;  // Sends one stray byte before exchange n's frame acknowledgement.
  int hangUpAt = -1;          // Hangs up halfway through exchange n's frame.
  int lateAckAt = -1;         // Acknowledges exchange n's frame only after...
  int lateAckMs = 0;          // ...this many milliseconds.
  bool paced = false;         // Bytes take their time on the line, 10 bits each.
  // Answers to the service codes that expect one, sent at 9600 bit/s; empty: no answer.
  std::vector<uint8_t> textAnswer;  // to 0xAA "/%/%"
  std::vector<uint8_t> cr01Answer;  // to 0xAA "CR01"
  std::vector<uint8_t> cr02Answer;  // to 0xAA "CR02"
};

// One byte that came down the line to the device.
struct LineByte {
  double ms;      // Since the simulator started.
  uint32_t baud;  // The line speed the port was set to when the byte came.
  uint8_t byte;
};

// The device side of the serial link on the far end of a pseudo-terminal: asleep until it gets
// 0xA2 at 9600 bit/s, then answers each 0xA5 probe with 0x5A, takes "UCLRU", "UFLHU" with 2051-byte
// frames (checking checksum and page address) and "URBTU", and records the image it was sent.
// Runs its own thread; every accessor is thread-safe.
class SerialBootSim {
 public:
  explicit SerialBootSim(SerialFaults faults = {});
  ~SerialBootSim();
  SerialBootSim(const SerialBootSim&) = delete;
  SerialBootSim& operator=(const SerialBootSim&) = delete;

  // The pseudo-terminal the utility opens.
  const std::string& devicePath() const { return devicePath_; }
  // Makes `dir`/`name` a symbolic link to the device, replacing what was there.
  void linkAs(const std::string& dir, const std::string& name) const;

  std::vector<LineByte> received() const;
  std::vector<uint8_t> image() const;         // Flash contents, up to the highest block written.
  std::vector<uint16_t> pages() const;        // Page addresses of the frames, in order received.
  std::vector<std::string> commands() const;  // The five-letter commands, in order.
  int checksumErrors() const;
  int probesAnswered() const;
  bool restarted() const;  // "URBTU" came after the download.
  // Forgets what was recorded so far (received bytes, pages, commands, restart).
  void clearRecords();
  // Waits up to `realMs` for "URBTU".
  bool waitForRestart(int realMs) const;
  // Drops the line within a few milliseconds: the utility's reads and writes fail from then on.
  void hangUp() { hangUpRequested_ = true; }

 private:
  enum class State { Asleep, Awake, Frame };
  void run();
  void feed(uint8_t byte, uint32_t baud);
  void service(uint8_t byte);
  void command(const std::string& text);
  void frame();
  void send(const std::vector<uint8_t>& bytes);
  uint32_t lineSpeed() const;
  void dropLine();
  double nowMs() const;

  const SerialFaults faults_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::string devicePath_;
  int master_ = -1;  // Used by the simulator's thread only, and closed there.
  int slaveKeeper_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<bool> hangUpRequested_{false};
  std::thread thread_;

  // Touched by the simulator's thread only.
  State state_ = State::Asleep;
  std::string commandBuffer_;
  std::string serviceCode_;
  bool inServiceCode_ = false;
  std::vector<uint8_t> frameBuffer_;
  int exchange_ = -1;
  double lineFreeAt_ = 0;  // When the line to the device has carried every byte so far (ms).
  double sendFreeAt_ = 0;

  mutable std::mutex mutex_;  // Guards everything below.
  mutable std::condition_variable cv_;
  std::vector<LineByte> received_;
  std::vector<uint8_t> flash_;
  std::vector<uint16_t> pages_;
  std::vector<std::string> commands_;
  int checksumErrors_ = 0;
  int probesAnswered_ = 0;
  bool restarted_ = false;
};

}  // namespace kestrel::sim
