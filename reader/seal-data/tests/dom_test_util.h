#pragma once
// What the document tests share: decrypted records built field by field, a main window
// that records what the document posts and shows, and reading back the tree.

#include <array>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "dom.h"
#include "test_window.h"

namespace dom_test {

using Page = std::array<uint8_t, LogPageSize>;
using Status = std::array<uint8_t, StatusRecordSize>;

inline void Put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// A seal time from a date-time text pair, for readable expectations.
inline TSealTime Time(const char* date, const char* time) { return TextToSealTime(date, time); }

inline Page LogPage(char type, uint8_t number, TSealTime pageTime) {
  Page p{};
  p[2] = uint8_t(type);
  p[3] = number;
  Put32(p.data() + 4, pageTime);
  return p;
}

// Seal events: slot times in order, 0 for an empty slot.
inline TSealTime FirstTime(const std::vector<TSealTime>& times) {
  for (TSealTime t : times)
    if (t) return t;
  return 0;
}
inline Page SealEventPage(uint8_t number, const std::vector<TSealTime>& entries) {
  Page p = LogPage('F', number, FirstTime(entries));
  for (size_t i = 0; i < entries.size() && i < 12; ++i) Put32(p.data() + 16 + 4 * i, entries[i]);
  return p;
}

struct SystemEvent {
  TSealTime time;
  uint16_t code;
};
inline Page SystemEventPage(uint8_t number, const std::vector<SystemEvent>& entries) {
  Page p = LogPage('S', number, entries.empty() ? 0 : entries[0].time);
  for (size_t i = 0; i < entries.size() && i < 8; ++i) {
    Put32(p.data() + 16 + 6 * i, entries[i].time);
    Put16(p.data() + 20 + 6 * i, entries[i].code);
  }
  return p;
}

struct HealthSlot {
  uint16_t day;
  uint8_t mint, maxt, ebat, mbat, onbat, mvevt;
};
inline Page HealthPage(uint8_t number, const std::vector<HealthSlot>& entries) {
  Page p = LogPage('H', number, MakeSealTime(1, 43200));
  for (size_t i = 0; i < entries.size() && i < 6; ++i) {
    uint8_t* at = p.data() + 16 + 8 * i;
    Put16(at, entries[i].day);
    at[2] = entries[i].mint;
    at[3] = entries[i].maxt;
    at[4] = entries[i].ebat;
    at[5] = entries[i].mbat;
    at[6] = entries[i].onbat;
    at[7] = entries[i].mvevt;
  }
  return p;
}

// A status record with a text in every field that has one.
inline Status StatusRecord(TSealTime time) {
  Status s{};
  uint8_t* p = s.data();
  Put32(p + 4, time);
  Put16(p + 8, 289);  // JS
  Put16(p + 10, 732);  // A C
  p[12] = 0x01 | 0x10 | 0x80;
  p[13] = 0xFB;
  p[14] = 36;
  p[15] = 123;
  Put16(p + 16, 1);
  Put16(p + 18, 2);
  Put16(p + 20, 3);
  Put16(p + 22, 4);
  const uint8_t id[8] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
  std::memcpy(p + 26, id, 8);
  std::memcpy(p + 34, "LiSOCl2", 7);
  Put16(p + 42, 324);
  Put32(p + 44, 1234567);
  Put16(p + 48, 1123);
  Put32(p + 50, 250500);
  Put16(p + 54, 8000);
  Put16(p + 56, 8100);
  Put16(p + 58, uint16_t(-3));
  Put16(p + 60, 12);
  Put16(p + 62, 420);
  Put16(p + 64, 512);
  Put16(p + 66, 800);
  Put16(p + 68, 8200);
  std::memcpy(p + 70, "LD-0042", 7);
  Put32(p + 86, 77);
  p[90] = 1;
  return s;
}

// The texts the status record above gives, in file order.
inline std::vector<std::pair<std::string, std::string>> StatusTexts() {
  return {{"operator1", "JS"},
          {"operator2", "A C"},
          {"sealwire", "open"},
          {"protection", "broken"},
          {"housing", "closed"},
          {"ext-power", "yes"},
          {"bat-volts", "12.3"},
          {"bat-consumed", "1235"},
          {"bat-type", "LiSOCl2"},
          {"bat-id", "1032 5476 98BA DCFE"},
          {"bat-installed", SealTimeToDateText(MakeSealTime(8000, 0))},
          {"bat-manufactured", "2024-03"},
          {"ebat-volts", "3.6"},
          {"ebat-consumed", "251"},
          {"ebat-installed", SealTimeToDateText(MakeSealTime(8100, 0))},
          {"ebat-manufactured", "2023-11"},
          {"temperature", "-5"},
          {"vacenabled", "yes"},
          {"vacattach", "77"},
          {"flash-warnings", "1"},
          {"flash-errors", "2"},
          {"ram-warnings", "3"},
          {"ram-errors", "4"},
          {"t0-offset", "-3"},
          {"f0-offset", "12"},
          {"laser-threshold", "420"},
          {"laser-500uw", "512"},
          {"laser-peak", "800"},
          {"laser-adjusted", SealTimeToDateText(MakeSealTime(8200, 0))},
          {"laser-id", "LD-0042"}};
}

// Decrypted pad pages: the length, then the text.
inline std::vector<uint8_t> PadPages(const std::string& text, size_t pages) {
  std::vector<uint8_t> b(pages * PadPageSize, 0);
  Put16(b.data(), uint16_t(text.size()));
  std::memcpy(b.data() + 2, text.data(), std::min(text.size(), b.size() - 2));
  return b;
}

// The names and attributes of an element and everything below it, one line each, as
// "name a=v b=v: text"; what two views must agree on.
inline void Describe(pugi::xml_node node, std::string& out, int depth = 0) {
  for (pugi::xml_node child : node.children()) {
    if (child.type() != pugi::node_element) continue;
    out.append(size_t(depth) * 2, ' ');
    out += child.name();
    for (pugi::xml_attribute a : child.attributes()) out += std::string(" ") + a.name() + "=" + a.value();
    for (pugi::xml_node t : child.children())
      if (t.type() == pugi::node_pcdata || t.type() == pugi::node_cdata) out += std::string(": ") + t.value();
    out += "\n";
    Describe(child, out, depth + 1);
  }
}

inline std::string Describe(const TZarnDocument& document) {
  return document.WithDom([](const pugi::xml_document& dom) {
    std::string out;
    Describe(dom, out);
    return out;
  });
}

// Texts of the nodes an XPath query finds, one for each match.
inline std::vector<std::string> Select(const TZarnDocument& document, const char* query) {
  return document.WithDom([query](const pugi::xml_document& dom) {
    std::vector<std::string> out;
    for (pugi::xpath_node n : dom.select_nodes(query))
      out.push_back(n.attribute() ? n.attribute().value() : n.node().text().get());
    return out;
  });
}

inline size_t Count(const TZarnDocument& document, const char* query) {
  return document.WithDom([query](const pugi::xml_document& dom) { return dom.select_nodes(query).size(); });
}

// The main window, as far as the document meets it.
class MainWindow {
 public:
  MainWindow()
      : window_("TMainForm", [this](UINT message, WPARAM, LPARAM lParam) -> LRESULT {
          std::lock_guard lock(mutex_);
          if (message == WM_SEALINDATABASE) serials_.push_back(uint32_t(lParam));
          return 0;
        }) {}
  // Every message posted so far, once the window's thread has handled them.
  std::vector<uint32_t> SealsInDatabase() {
    SendMessage(window_.Handle(), WM_USER + 99, 0, 0);
    std::lock_guard lock(mutex_);
    return serials_;
  }
  void Clear() {
    SendMessage(window_.Handle(), WM_USER + 99, 0, 0);
    std::lock_guard lock(mutex_);
    serials_.clear();
  }

  // Status-bar panel 2 and the busy icon.
  TDocumentHost Host() {
    return {[this](const std::string& text) {
              std::lock_guard lock(mutex_);
              panel_.push_back(text);
            },
            [this] {
              std::lock_guard lock(mutex_);
              busy_.push_back(true);
            },
            [this] {
              std::lock_guard lock(mutex_);
              busy_.push_back(false);
            }};
  }
  std::vector<std::string> Panel() {
    std::lock_guard lock(mutex_);
    return panel_;
  }
  std::string PanelNow() {
    std::lock_guard lock(mutex_);
    return panel_.empty() ? "" : panel_.back();
  }
  std::vector<bool> Busy() {
    std::lock_guard lock(mutex_);
    return busy_;
  }

 private:
  std::mutex mutex_;
  std::vector<uint32_t> serials_;
  std::vector<std::string> panel_;
  std::vector<bool> busy_;
  sim::TestWindow window_;
};

}  // namespace dom_test
