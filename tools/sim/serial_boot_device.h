#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kestrel::sim {

// Fault switches of the simulated serial boot loader. Exchange n is the n-th "UFLHU" of a
// download (0-based): blocks 1 to N - 1, then block 0.
struct SerialFaults {
  bool silent = false;                // Wakes, but never sends a byte.
  bool noClearAck = false;            // Does not acknowledge "UCLRU".
  int clearAcksMissed = 0;            // Does not acknowledge the first n "UCLRU", then does.
  std::vector<uint8_t> clearAnswer;   // Answers "UCLRU" with these bytes instead of "U5U".
  std::vector<uint8_t> answerPrefix;  // Sent in front of the 0x5A answer, in the same burst.
  int noCommandAckAt = -1;            // No acknowledgement of exchange n's "UFLHU".
  int noFrameAckAt = -1;              // No acknowledgement of exchange n's frame.
  int strayBeforeAckAt = -1;   // Sends one stray byte before exchange n's frame acknowledgement.
  int hangUpAt = -1;           // Hangs up halfway through exchange n's frame.
  bool hangUpOnProbe = false;  // Hangs up when the first probe comes, in the middle of the search.
  int lateAckAt = -1;          // Acknowledges exchange n's frame only after...
  int lateAckMs = 0;           // ...this many milliseconds of the line's time.
  // Holds the line up (flow control: CTS low, XOFF) as it takes exchange n's "UFLHU", before it
  // acknowledges it: from then on nothing the utility writes leaves its port.
  int holdLineAt = -1;
  // Bytes the utility's port holds ahead of the line (driver buffer and FIFO); ports inside the
  // process only. A full buffer makes a write wait.
  size_t portBuffer = 4096;
  bool paced = false;  // Bytes take their time on the line, 10 bits each (pseudo-terminal).
  // Answers to the service codes that expect one, sent at 9600 bit/s; empty: no answer.
  std::vector<uint8_t> textAnswer;  // to 0xAA "/%/%"
  std::vector<uint8_t> cr01Answer;  // to 0xAA "CR01"
  std::vector<uint8_t> cr02Answer;  // to 0xAA "CR02"
};

// One byte that came down the line to the device.
struct LineByte {
  double ms;  // In the line's time: real milliseconds on a pseudo-terminal, ticks in-process.
  // The line speed the port was set to when the byte came; 0 when it came at no speed the device
  // could read: the port's settings changed while the byte was still on its way (garbled).
  uint32_t baud;
  uint8_t byte;
};

// The serial boot loader without a line: it takes the bytes the utility sends, answers through
// transmit(), and records what it was sent. Asleep until it gets 0xA2 at 9600 bit/s, then answers
// each 0xA5 probe with 0x5A, takes "UCLRU", "UFLHU" with 2051-byte frames (checking checksum and
// page address) and "URBTU"; at 9600 bit/s it also answers the service codes.
//
// A line (a pseudo-terminal, or ports inside the process) feeds it from one thread at a time and
// carries its answers; every accessor may be called from any thread.
class SerialBootDevice {
 public:
  explicit SerialBootDevice(SerialFaults faults);
  virtual ~SerialBootDevice() = default;
  SerialBootDevice(const SerialBootDevice&) = delete;
  SerialBootDevice& operator=(const SerialBootDevice&) = delete;

  // One byte from the utility, at line speed `baud`, `ms` into the line's time.
  void feed(uint8_t byte, uint32_t baud, double ms);

  std::vector<LineByte> received() const;
  size_t receivedCount() const;
  std::vector<uint8_t> image() const;         // Flash contents, up to the highest block written.
  std::vector<uint16_t> pages() const;        // Page addresses of the frames, in order received.
  std::vector<std::string> commands() const;  // The five-letter commands, in order.
  int checksumErrors() const;
  int probesAnswered() const;
  bool restarted() const;  // "URBTU" came after the download.
  // Forgets what was recorded so far (received bytes, pages, commands, restart).
  void clearRecords();
  // Waits up to `realMs` of real time for "URBTU".
  bool waitForRestart(int realMs) const;

  // `hook` runs on the feeding thread for every byte that comes, before the device takes it (and
  // so before it answers).
  void onByte(std::function<void(uint8_t byte, uint32_t baud)> hook);

 protected:
  // The device sends `bytes`, beginning `delayMs` of the line's time from now.
  virtual void transmit(const std::vector<uint8_t>& bytes, int delayMs) = 0;
  // The device drops the line: from now on the utility's reads and writes fail.
  virtual void dropLine() = 0;
  // The device holds the line up: from now on nothing more leaves the utility's port.
  virtual void holdLine() = 0;

  const SerialFaults faults_;

 private:
  enum class State { Asleep, Awake, Frame };
  void service(uint8_t byte);
  void command(const std::string& text);
  void frame();

  // The protocol's state: touched only by the feeding thread, one at a time.
  std::mutex feedMutex_;  // Guards the protocol state below, for lines fed from several threads.
  State state_ = State::Asleep;
  std::string commandBuffer_;
  std::string serviceCode_;
  bool inServiceCode_ = false;
  std::vector<uint8_t> frameBuffer_;
  int exchange_ = -1;
  int clearsMissed_ = 0;  // "UCLRU" left unacknowledged so far (SerialFaults::clearAcksMissed).
  bool lineDropped_ = false;
  std::function<void(uint8_t, uint32_t)> onByte_;

  mutable std::mutex mutex_;  // Guards the records below.
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
