#include "service/service_commands.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/command_ids.h"
#include "core/device_text.h"
#include "core/window_state.h"
#include "serial/serial_search.h"
#include "serial/serial_session.h"

namespace kestrel {
namespace {

constexpr int kServiceBaudIndex = 4;
constexpr uint8_t kCradleLead = 0xA7;
constexpr uint8_t kServicePrefix = 0xAA;
constexpr uint8_t kTextLead = 0xB5;

struct Answer {
  size_t length;     // Bytes the device should send.
  uint32_t limitMs;  // How long to wait for them.
};

// Opens the port at 9600 bit/s, sends 0xAA and the four code bytes and, for a command that waits
// for an answer, pauses 1 ms after 0xAA and reads the answer. Returns the bytes read (none when
// the port did not open, nothing came or no answer is awaited).
std::vector<uint8_t> exchange(WindowState& w, const uint8_t code[4], const Answer* answer) {
  std::vector<uint8_t> reply;
  w.BaudIndex = kServiceBaudIndex;
  if (!openPort(w)) {
    closePort(w);
    w.BaudIndex = 0;
    return reply;
  }
  writePort(w, &kServicePrefix, 1);
  if (answer) w.clock.sleepMs(1);
  writePort(w, code, 4);
  if (answer) {
    std::vector<uint8_t> buf(answer->length + 1);
    int got = readTimed(w, buf.data(), answer->length, answer->limitMs);
    reply.assign(buf.begin(), buf.begin() + got);
  }
  closePort(w);
  w.BaudIndex = 0;
  return reply;
}

std::vector<uint8_t> exchange(WindowState& w, const char* code, const Answer* answer = nullptr) {
  const uint8_t bytes[4] = {uint8_t(code[0]), uint8_t(code[1]), uint8_t(code[2]), uint8_t(code[3])};
  return exchange(w, bytes, answer);
}

// Two one-shot writes 1 ms apart at 9600 bit/s: a lead byte, then a frame.
void leadAndFrame(WindowState& w, uint8_t lead, const std::vector<uint8_t>& frame) {
  w.BaudIndex = kServiceBaudIndex;
  writeOnce(w, &lead, 1);
  w.clock.sleepMs(1);
  writeOnce(w, frame.data(), frame.size());
  w.BaudIndex = 0;
}

void cradleIdentity(WindowState& w) {
  w.readWindow();
  std::string id = w.cradleIdText.get();
  // One character must be one byte on the line, or the length check counts wrong.
  if (!isAscii(id)) {
    w.showMessage("The cradle ID may hold only ASCII characters. Nothing was sent.");
    return;
  }
  if (id.size() != 12) {
    w.showMessage("Cradle ID must be 12 digits!");
    return;
  }
  for (char& c : id) c = char(std::toupper(static_cast<unsigned char>(c)));
  w.cradleIdText.set(id);
  w.refreshWindow();
  std::vector<uint8_t> frame{'B'};
  frame.insert(frame.end(), id.begin(), id.end());
  frame.push_back('T');
  leadAndFrame(w, kCradleLead, frame);
}

void codeFromWindow(WindowState& w) {
  w.readWindow();
  std::string code = w.commandText.get();
  if (!isAscii(code)) {
    w.showMessage("The command may hold only ASCII characters. Nothing was sent.");
    return;
  }
  if (code.size() != 4) {
    w.showMessage("Command Length error!");
    return;
  }
  exchange(w, code.c_str());
}

void textQuery(WindowState& w) {
  const Answer answer{100, 3000};
  std::vector<uint8_t> reply = exchange(w, "/%/%", &answer);
  if (reply.empty()) return;
  w.showMessage(deviceText(reply.data(), reply.size()));
}

void undiscover(WindowState& w) {
  const Answer answer{1, 2000};
  std::vector<uint8_t> reply = exchange(w, "CR01", &answer);
  if (!reply.empty() && reply[0] == 0x06) w.showMessage("Set undiscover Successfully");
}

void readPorts(WindowState& w) {
  const Answer answer{16, 3000};
  std::vector<uint8_t> r = exchange(w, "CR02", &answer);
  if (r.size() != 16 || r[0] != 'C' || r[15] != 'R') return;
  char text[64];
  std::snprintf(text, sizeof text, "P0=%02X,P1=%02X,P2=%02X,P3=%02X,P4=%02X", r[1], r[2], r[3],
                r[4], r[5]);
  w.showMessage(text);
}

void textFrame(WindowState& w) {
  w.readWindow();
  std::string text = w.frameText.get();
  if (text.size() > kMaxFrameText) {
    w.showMessage("The text is " + std::to_string(text.size()) + " characters long; at most " +
                  std::to_string(kMaxFrameText) + " fit the frame. Nothing was sent.");
    return;
  }
  std::vector<uint8_t> frame{'D'};
  frame.insert(frame.end(), text.begin(), text.end());
  frame.push_back('N');
  leadAndFrame(w, kTextLead, frame);
}

// Every service command but the one that only empties a field goes to the device.
bool opensPort(int id) {
  return id != kCmdClearCradleId;
}

}  // namespace

bool runServiceCommand(WindowState& w, int id) {
  switch (id) {
    case kCmdWake:
    case kCmdCradleId:
    case kCmdClearCradleId:
    case kCmdKe99:
    case kCmdCode:
    case kCmdDash02:
    case kCmdTextQuery:
    case kCmdCr01:
    case kCmdCr02:
    case kCmdKe01:
    case kCmdKe97:
    case kCmdTextFrame:
      break;
    default:
      return false;
  }
  if (opensPort(id) && w.serialUpdateRunning) {
    w.showMessage("The serial port is busy with a running update. Try again when it has ended.");
    return true;
  }
  switch (id) {
    case kCmdWake:
      writeOnce(w, &kWakeByte, 1);
      break;
    case kCmdCradleId:
      cradleIdentity(w);
      break;
    case kCmdClearCradleId:
      w.cradleIdText.set("");
      w.refreshWindow();
      break;
    case kCmdKe99:
      exchange(w, "KE99");
      break;
    case kCmdCode:
      codeFromWindow(w);
      break;
    case kCmdDash02:
      exchange(w, "--02");
      break;
    case kCmdTextQuery:
      textQuery(w);
      break;
    case kCmdCr01:
      undiscover(w);
      break;
    case kCmdCr02:
      readPorts(w);
      break;
    case kCmdKe01:
      exchange(w, "KE01");
      break;
    case kCmdKe97:
      exchange(w, "KE97");
      break;
    case kCmdTextFrame:
      textFrame(w);
      break;
  }
  // The command's opens and closes are one run on the port: its claim goes only now.
  if (opensPort(id)) releasePort(w);
  return true;
}

}  // namespace kestrel
