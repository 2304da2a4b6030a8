#include "cli/unit_record.h"

#include <cstdio>

#include "cli/console_window.h"
#include "platform_api/files.h"

namespace kestrel {
namespace {

using Json = nlohmann::ordered_json;

Json orNull(const std::string& text) {
  return text.empty() ? Json(nullptr) : Json(text);
}

std::string textOr(const nlohmann::json& j, const char* name) {
  auto it = j.find(name);
  return it != j.end() && it->is_string() ? it->get<std::string>() : "";
}

}  // namespace

Json recordJson(const UnitRecord& r) {
  return {{"time", r.time},
          {"host", r.host},
          {"firmware", r.firmware},
          {"image_length", r.imageLength},
          {"sha256", r.sha256},
          {"device", r.device},
          {"location", orNull(r.location)},
          {"serial_number", orNull(r.serialNumber)},
          {"version", r.version ? Json(*r.version) : Json(nullptr)},
          {"attempt", r.attempt},
          {"result", r.result},
          {"exit_code", r.exitCode},
          {"reason", r.reason},
          {"cause", orNull(r.cause)},
          {"device_got", orNull(r.deviceGot)},
          {"signal", r.signal ? Json(*r.signal) : Json(nullptr)},
          {"seconds", double(int64_t(r.seconds * 1000 + 0.5)) / 1000}};
}

bool recordFromJson(const nlohmann::json& j, UnitRecord* r) {
  if (!j.is_object()) return false;
  for (const char* name : {"device", "result", "reason"}) {
    if (!j.contains(name) || !j[name].is_string()) return false;
  }
  for (const char* name : {"exit_code", "attempt", "image_length"}) {
    if (!j.contains(name) || !j[name].is_number_integer()) return false;
  }
  if (!j.contains("seconds") || !j["seconds"].is_number()) return false;
  UnitRecord out;
  out.time = textOr(j, "time");
  out.host = textOr(j, "host");
  out.firmware = textOr(j, "firmware");
  out.imageLength = j["image_length"].get<uint64_t>();
  out.sha256 = textOr(j, "sha256");
  out.device = textOr(j, "device");
  out.location = textOr(j, "location");
  out.serialNumber = textOr(j, "serial_number");
  if (j.contains("version") && j["version"].is_number_integer())
    out.version = j["version"].get<int>();
  out.attempt = j["attempt"].get<int>();
  out.result = textOr(j, "result");
  out.exitCode = j["exit_code"].get<int>();
  out.reason = textOr(j, "reason");
  out.cause = textOr(j, "cause");
  out.deviceGot = textOr(j, "device_got");
  if (j.contains("signal") && j["signal"].is_number_integer()) out.signal = j["signal"].get<int>();
  out.seconds = j["seconds"].get<double>();
  *r = std::move(out);
  return true;
}

std::string utcTimeText(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const auto ms = floor<milliseconds>(t);
  const auto day = floor<days>(ms);
  const year_month_day date{day};
  const hh_mm_ss clock{ms - day};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(date.year()),
                unsigned(date.month()), unsigned(date.day()), int(clock.hours().count()),
                int(clock.minutes().count()), int(clock.seconds().count()),
                int(clock.subseconds().count()));
  return text;
}

bool appendRecord(FileSystem& files, const std::string& path, const UnitRecord& r,
                  std::string* error) {
  FileError failed;
  if (files.appendToFile(path, jsonLine(recordJson(r)), &failed)) return true;
  *error = failed.text;
  return false;
}

}  // namespace kestrel
