// The Windows window's dialog templates, read from their resource scripts: every control lies
// inside its dialog, so that nothing is cut off (a button half outside the dialog cannot be seen
// whole, nor reliably clicked).

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace kestrel {
namespace {

// A rectangle in dialog units: left, top, width, height.
struct Box {
  int x = 0, y = 0, w = 0, h = 0;
};

struct Control {
  std::string statement;  // LTEXT, PUSHBUTTON, CONTROL, ...
  std::string text;       // "" for controls without one
  std::string id;
  Box box;
  int line = 0;
};

struct DialogTemplate {
  std::string name;
  std::string file;
  Box box;
  std::vector<Control> controls;
  std::vector<std::string> problems;  // lines the reader could not take
};

std::string trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r");
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(" \t\r");
  return s.substr(a, b - a + 1);
}

// Splits at commas outside quoted strings; the fields come back trimmed.
std::vector<std::string> fields(const std::string& s) {
  std::vector<std::string> out;
  std::string current;
  bool quoted = false;
  for (char c : s) {
    if (c == '"') quoted = !quoted;
    if (c == ',' && !quoted) {
      out.push_back(trim(current));
      current.clear();
    } else {
      current += c;
    }
  }
  out.push_back(trim(current));
  return out;
}

bool number(const std::string& s, int* value) {
  if (s.empty() || !std::all_of(s.begin(), s.end(), [](char c) { return std::isdigit(c); })) {
    return false;
  }
  *value = std::stoi(s);
  return true;
}

// Where the position fields start in each kind of control statement: after the text and the
// identifier, after the identifier alone, or (CONTROL) after text, identifier, class and style.
const std::map<std::string, size_t> kPositionField = {
    {"LTEXT", 2},       {"RTEXT", 2},           {"CTEXT", 2},
    {"GROUPBOX", 2},    {"PUSHBUTTON", 2},      {"DEFPUSHBUTTON", 2},
    {"ICON", 2},        {"CHECKBOX", 2},        {"AUTOCHECKBOX", 2},
    {"RADIOBUTTON", 2}, {"AUTORADIOBUTTON", 2}, {"COMBOBOX", 1},
    {"EDITTEXT", 1},    {"LISTBOX", 1},         {"SCROLLBAR", 1},
    {"CONTROL", 4},
};

// The DIALOGEX blocks of one resource script. Other blocks (VERSIONINFO) are passed over.
std::vector<DialogTemplate> readDialogs(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::vector<DialogTemplate> dialogs;
  std::string line;
  int number_ = 0;
  DialogTemplate* open = nullptr;  // the dialog whose header was read
  bool inBody = false;
  while (std::getline(in, line)) {
    ++number_;
    std::string text = trim(line);
    if (text.empty() || text.rfind("//", 0) == 0) continue;
    std::istringstream words(text);
    std::string first, second;
    words >> first >> second;
    if (!open && second == "DIALOGEX") {
      dialogs.push_back({first, path.filename().string(), {}, {}, {}});
      open = &dialogs.back();
      std::string rest;
      std::getline(words, rest);
      auto f = fields(rest);
      if (f.size() < 4 || !number(f[0], &open->box.x) || !number(f[1], &open->box.y) ||
          !number(f[2], &open->box.w) || !number(f[3], &open->box.h)) {
        open->problems.push_back("line " + std::to_string(number_) + ": " + text);
      }
      continue;
    }
    if (!open) continue;
    if (first == "BEGIN") {
      inBody = true;
      continue;
    }
    if (first == "END") {
      open = nullptr;
      inBody = false;
      continue;
    }
    if (!inBody) continue;  // STYLE, CAPTION, FONT, ...
    auto at = kPositionField.find(first);
    auto f = fields(trim(text.substr(first.size())));
    Control c;
    c.statement = first;
    c.line = number_;
    if (at == kPositionField.end() || f.size() < at->second + 4 ||
        !number(f[at->second], &c.box.x) || !number(f[at->second + 1], &c.box.y) ||
        !number(f[at->second + 2], &c.box.w) || !number(f[at->second + 3], &c.box.h)) {
      open->problems.push_back("line " + std::to_string(number_) + ": " + text);
      continue;
    }
    c.id = f[at->second - 1];
    if (at->second >= 2) c.text = f[0];
    if (first == "CONTROL") c.id = f[1];
    open->controls.push_back(c);
  }
  return dialogs;
}

std::vector<DialogTemplate> allDialogs() {
  std::vector<DialogTemplate> all;
  for (const auto& entry : std::filesystem::directory_iterator(KESTREL_WIN32_SOURCES)) {
    if (entry.path().extension() != ".rc") continue;
    for (DialogTemplate& d : readDialogs(entry.path())) all.push_back(std::move(d));
  }
  return all;
}

// A drop-down list's height in its template is that of the list when it is open, which may reach
// past the dialog; closed, it is one line of text and its border.
constexpr int kClosedComboHeight = 12;

TEST(DialogTemplates, EveryControlLiesInsideItsDialog) {
  std::vector<DialogTemplate> dialogs = allDialogs();
  std::vector<std::string> names;
  for (const DialogTemplate& d : dialogs) names.push_back(d.name);
  // The window, its About box and its Service dialog at least: a reader that found nothing would
  // check nothing.
  for (const char* expected : {"IDD_UTILITY", "IDD_ABOUT", "IDD_SERVICE"}) {
    EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;
  }
  for (const DialogTemplate& d : dialogs) {
    SCOPED_TRACE(d.file + ": " + d.name);
    EXPECT_TRUE(d.problems.empty())
        << "statements the reader does not know: " << ::testing::PrintToString(d.problems);
    EXPECT_FALSE(d.controls.empty());
    for (const Control& c : d.controls) {
      const int height = c.statement == "COMBOBOX" ? kClosedComboHeight : c.box.h;
      EXPECT_TRUE(c.box.x >= 0 && c.box.y >= 0 && c.box.x + c.box.w <= d.box.w &&
                  c.box.y + height <= d.box.h)
          << "line " << c.line << ": " << c.statement << ' ' << c.text << ' ' << c.id << " at "
          << c.box.x << ',' << c.box.y << " size " << c.box.w << 'x' << height
          << " reaches past the dialog's " << d.box.w << 'x' << d.box.h;
    }
  }
}

}  // namespace
}  // namespace kestrel
