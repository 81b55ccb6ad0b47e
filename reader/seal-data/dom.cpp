#include "dom.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "cp1252.h"
#include "initials.h"
#include "key_decoder.h"
#include "message_box.h"
#include "open_for_reading.h"
#include "replace_file.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* ErrorCaption = "Error";
constexpr const char* NotSealDataText = "The specified file is not a seal data file.";
constexpr const char* NoCryptoText = "Crypto services not available.";
constexpr const char* SaveFailedText = "Save file failed.";
constexpr const char* OutOfMemoryText = "Not enough memory to open the file.";
constexpr const char* SecondRootText = "Only one top level element is allowed.";

// The largest file opened, read whole into memory with its tree beside it. A file of
// 10,000 pages is 8.5 MB, so this is some 300,000 pages: more than any read-out
// collects, and it keeps a file that is none (a disk image, say) out of memory.
constexpr size_t MaxSealDataFile = 256u << 20;

// Clients decoding key-sets beside the opening thread's own.
constexpr unsigned KeyDecodeWorkers = 15;

constexpr unsigned StatusHexDigits = 2 * StatusRecordSize;
constexpr unsigned PageHexDigits = 2 * LogPageSize;

uint16_t U16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t U32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
std::string Unsigned(uint32_t value) { return std::to_string(value); }

void ShowError(const std::string& text) { platform::MessageBox(text, ErrorCaption, platform::MB_OK | platform::MB_ICONERROR); }

// The status record's texts: single-byte text made safe, then the tree's UTF-8.
std::string TreeText(const std::string& text) { return platform::Cp1252ToUtf8(XmlEscape(text)); }

// The hex text of a page, status or pad: its text children (the views are gone by
// now), without the white space a hand edit or a pretty printer may have put round it.
std::string RecordText(pugi::xml_node element) {
  std::string text;
  for (pugi::xml_node child : element.children())
    if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) text += child.value();
  const char* space = " \t\r\n";
  size_t first = text.find_first_not_of(space);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}

bool ParseSerial(const char* text, uint32_t& serial) {
  size_t length = std::strlen(text);
  if (length == 0 || length > 10) return false;
  uint64_t value = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + uint64_t(text[i] - '0');
  }
  if (value > 0xFFFFFFFFu) return false;
  serial = uint32_t(value);
  return true;
}

std::string AuthenticityText(SealErrorCode verdict) {
  if (verdict == 0) return AuthenticText;
  if (verdict == SealError::CryptoTokenError) return {};
  return NotAuthenticText;
}

class StringWriter : public pugi::xml_writer {
 public:
  void write(const void* data, size_t size) override { text.append(static_cast<const char*>(data), size); }
  std::string text;
};

class FileWriter : public pugi::xml_writer {
 public:
  explicit FileWriter(int fd) : fd_(fd) {}
  void write(const void* data, size_t size) override {
    if (ok) ok = platform::WriteAll(fd_, static_cast<const char*>(data), size);
  }
  bool ok = true;

 private:
  int fd_;
};

// The file in a buffer of pugixml's own allocator, so the parser can work in it and
// the tree keep it: a large file is not held twice.
bool ReadForParser(const std::string& fileName, char*& buffer, size_t& size, std::string& reason) {
  struct stat info {};
  int fd = platform::OpenForReading(fileName, info);
  if (fd < 0) {
    reason = errno == platform::NotARegularFile ? "The file cannot be read." : std::strerror(errno);
    return false;
  }
  if (uintmax_t(info.st_size) > MaxSealDataFile) {
    reason = "The file \"" + fileName + "\" is too large to be a seal data file (over " +
             std::to_string(MaxSealDataFile >> 20) + " MB).";
    ::close(fd);
    return false;
  }
  size = size_t(info.st_size);
  buffer = static_cast<char*>(pugi::get_memory_allocation_function()(std::max<size_t>(size, 1)));
  if (!buffer) {
    ::close(fd);
    throw std::bad_alloc();
  }
  size_t got = 0;
  while (got < size) {
    ssize_t n = ::read(fd, buffer + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      reason = std::strerror(errno);
      pugi::get_memory_deallocation_function()(buffer);
      ::close(fd);
      return false;
    }
    if (n == 0) break;  // the file shrank while we read it
    got += size_t(n);
  }
  size = got;
  ::close(fd);
  return true;
}

// Line and position (both from 1, the position in characters) of a byte offset, from
// the file read again a piece at a time: the parser has written into its own copy.
void LineAndPosition(const std::string& fileName, ptrdiff_t offset, unsigned& line, unsigned& position) {
  line = 1;
  position = 1;
  struct stat info {};
  int fd = platform::OpenForReading(fileName, info);
  if (fd < 0) return;
  char piece[16384];
  size_t left = size_t(std::max<ptrdiff_t>(offset, 0));
  while (left > 0) {
    ssize_t n = ::read(fd, piece, std::min(sizeof piece, left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i)
      if (piece[i] == '\n') {
        ++line;
        position = 1;
      } else if ((uint8_t(piece[i]) & 0xC0) != 0x80) {
        ++position;
      }
    left -= size_t(n);
  }
  ::close(fd);
}

std::string ParseErrorText(const std::string& reason, unsigned line, unsigned position) {
  return reason + " (Line: " + std::to_string(line) + " Pos.: " + std::to_string(position) + ")";
}

}  // namespace

std::string XmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '"': out += "&quot;"; break;
      case '&': out += "&amp;"; break;
      case '\'': out += "&apos;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default:
        out += uint8_t(c) < 0x20 && c != '\t' && c != '\n' && c != '\r' ? ' ' : c;
    }
  }
  return out;
}

std::string CleanCDataText(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (uint8_t(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') c = ' ';
  for (size_t at = out.find("]]>"); at != std::string::npos; at = out.find("]]>", at + 3)) out.replace(at, 3, "   ");
  return out;
}

// The nodes a key's records came from, in the order of its TKeyRecords.
struct TZarnDocument::RecordNodes {
  std::vector<pugi::xml_node> pages, pads, status;
};

// Compiled once; the values of a search go in as bound variables, never into its text.
struct TZarnDocument::Queries {
  static pugi::xpath_variable_set Variables() {
    pugi::xpath_variable_set v;
    for (const char* name : {"sn", "no", "date", "time", "log", "entry", "index"}) v.add(name, pugi::xpath_type_string);
    return v;
  }
  void Set(const char* name, const std::string& value) { variables.set(name, value.c_str()); }

  pugi::xpath_variable_set variables = Variables();
  pugi::xpath_query sealBySerial{"./seal[@sn=$sn]", &variables};
  pugi::xpath_query keyByName{"./key[@no=$no][@date=$date][@time=$time]", &variables};
  pugi::xpath_query entrylessPage{"./page[plain[@log=$log][@no=$no][not(*)]]", &variables};
  pugi::xpath_query pageWithEntry{
      "./page[plain[@log=$log][@no=$no][*[name()=$entry][@index=$index][@date=$date][@time=$time]]]", &variables};
  pugi::xpath_query seals{"seal"};
  pugi::xpath_query keys{"key"};
  pugi::xpath_query pages{"page"};
  pugi::xpath_query pads{"pad"};
  pugi::xpath_query status{"status"};
  pugi::xpath_query everyView{"//plain"};
};

TZarnDocument::Lock::Lock(const TZarnDocument& document) : d_(document) {
  d_.mutex_.lock();
  ++d_.depth_;
}

TZarnDocument::Lock::~Lock() {
  std::string text;
  uint64_t sequence = 0;
  if (--d_.depth_ == 0) {
    std::string wanted = d_.modified_ ? ModifiedPanelText : "";
    if (wanted != d_.panelShown_) {
      d_.panelShown_ = text = wanted;
      sequence = ++d_.panelSequence_;
    }
  }
  d_.mutex_.unlock();
  if (sequence == 0 || !d_.host_.SetModifiedText) return;
  std::lock_guard order(d_.panelMutex_);
  if (sequence < d_.panelDelivered_) return;
  d_.panelDelivered_ = sequence;
  d_.host_.SetModifiedText(text);
}

TZarnDocument::TZarnDocument(TDocumentHost host) : host_(std::move(host)), queries_(std::make_unique<Queries>()) {
  NewDocument();
}

TZarnDocument::~TZarnDocument() {
  // Script may still hold the document's objects; from now on they find it closed.
  self_.reset();
}

std::weak_ptr<const TZarnDocument> TZarnDocument::WeakReference() const { return self_; }

std::unique_ptr<pugi::xml_document> TZarnDocument::CreateDomDocument() {
  return std::make_unique<pugi::xml_document>();
}

bool TZarnDocument::Modified() const {
  Lock lock(*this);
  return modified_;
}

void TZarnDocument::SetCryptoFactory(CryptoFactory factory) {
  Lock lock(*this);
  cryptoFactory_ = std::move(factory);
}

void TZarnDocument::MarkModified() { modified_ = true; }

TZarnDocument::TreeStamp TZarnDocument::Stamp() const {
  Lock lock(*this);
  return stamp_;
}

void TZarnDocument::Remove(pugi::xml_node parent, pugi::xml_node child) {
  if (parent.remove_child(child)) ++stamp_.removals;
}

bool TZarnDocument::NewDocument() {
  Lock lock(*this);
  modified_ = false;
  auto fresh = CreateDomDocument();
  pugi::xml_node declaration = fresh->append_child(pugi::node_declaration);
  pugi::xml_node root;
  if (!declaration || !declaration.set_name("xml") || !declaration.append_attribute("version").set_value("1.0") ||
      !(root = fresh->append_child("zarn")))
    throw std::bad_alloc();
  dom_ = std::move(fresh);
  root_ = root;
  ++stamp_.generation;
  // The old tree is gone: a key of it must not be written to.
  currentKey_ = pugi::xml_node();
  return true;
}

// ---- Building blocks ----

bool TZarnDocument::SetAttribute(pugi::xml_node element, const char* name, const std::string& value) {
  MarkModified();
  if (!element) return false;
  pugi::xml_attribute attribute = element.attribute(name);
  if (!attribute) attribute = element.append_attribute(name);
  return attribute && attribute.set_value(value.c_str());
}

bool TZarnDocument::AddText(pugi::xml_node node, const std::string& text) {
  pugi::xml_node child = node.append_child(pugi::node_pcdata);
  return child && child.set_value(text.c_str());
}

bool TZarnDocument::SetDateTimeAttrs(pugi::xml_node element, TSealTime time) {
  return SetAttribute(element, "date", SealTimeToDateText(time)) &&
         SetAttribute(element, "time", SealTimeToTimeText(time));
}

bool TZarnDocument::SetVerifiedAttr(pugi::xml_node element, const std::string& authenticity) {
  return authenticity.empty() || SetAttribute(element, "verified", authenticity);
}

// ---- Writers ----

bool TZarnDocument::SelectKeyset(uint32_t serial, uint32_t keysetNumber, TSealTime keysetTime) {
  Lock lock(*this);
  queries_->Set("sn", Unsigned(serial));
  pugi::xml_node seal = queries_->sealBySerial.evaluate_node(root_).node();
  if (!seal) {
    seal = root_.append_child("seal");
    if (!seal) return false;
    if (!SetAttribute(seal, "sn", Unsigned(serial))) {
      Remove(root_, seal);
      return false;
    }
    PostMessage(FindWindow(MainWindowClass), WM_SEALINDATABASE, 0, LPARAM(serial));
  }
  const std::string no = KeysetNumberToText(keysetNumber), date = SealTimeToDateText(keysetTime),
                    time = SealTimeToTimeText(keysetTime);
  queries_->Set("no", no);
  queries_->Set("date", date);
  queries_->Set("time", time);
  currentKey_ = queries_->keyByName.evaluate_node(seal).node();
  if (currentKey_) return true;
  pugi::xml_node key = seal.append_child("key");
  if (!key) return false;
  if (!SetAttribute(key, "no", no) || !SetAttribute(key, "date", date) || !SetAttribute(key, "time", time)) {
    Remove(seal, key);
    return false;
  }
  currentKey_ = key;
  return true;
}

bool TZarnDocument::RemovePage(const std::string& log, uint8_t pageNumber, const std::string& entryName,
                               unsigned index, TSealTime time) {
  Lock lock(*this);
  if (!currentKey_) return true;
  queries_->Set("log", log);
  queries_->Set("no", Unsigned(pageNumber));
  pugi::xml_node copy = queries_->entrylessPage.evaluate_node(currentKey_).node();
  if (!copy && !IsNullSealTime(time)) {
    queries_->Set("entry", entryName);
    queries_->Set("index", Unsigned(index));
    queries_->Set("date", SealTimeToDateText(time));
    queries_->Set("time", SealTimeToTimeText(time));
    copy = queries_->pageWithEntry.evaluate_node(currentKey_).node();
  }
  if (copy) Remove(currentKey_, copy);
  return true;
}

bool TZarnDocument::AddLogPage(const uint8_t raw[LogPageSize], const uint8_t plain[LogPageSize],
                               const std::string& authenticity) {
  switch (plain[2]) {
    case 'F': return AddSealEventPage(raw, plain, authenticity);
    case 'H': return AddHealthPage(raw, plain, authenticity);
    case 'S': return AddSystemEventPage(raw, plain, authenticity);
    default: return false;
  }
}

// A page is known by its log, its number and its first entry: an earlier copy of it is
// replaced, so the key holds one copy, the newest, at its end.
bool TZarnDocument::AddPage(const char* log, const char* entryName, unsigned index, TSealTime time, LogView view,
                            const uint8_t raw[LogPageSize], const uint8_t plain[LogPageSize],
                            const std::string& authenticity) {
  Lock lock(*this);
  if (!currentKey_) return false;
  RemovePage(log, plain[3], entryName, index, time);
  pugi::xml_node page = currentKey_.append_child("page");
  if (!page) return false;
  if (!AddText(page, BytesToHex(raw, LogPageSize))) {
    Remove(currentKey_, page);
    return false;
  }
  return (this->*view)(page, plain, authenticity);
}

bool TZarnDocument::AddSealEventPage(const uint8_t raw[LogPageSize], const uint8_t plain[LogPageSize],
                                     const std::string& authenticity) {
  TSealTime first = U32(plain + 16);
  const LogView view = &TZarnDocument::AddSealEventView;
  if (IsNullSealTime(first)) return AddPage("fo", "event", 2, U32(plain + 20), view, raw, plain, authenticity);
  return AddPage("fo", "event", 1, first, view, raw, plain, authenticity);
}

bool TZarnDocument::AddSystemEventPage(const uint8_t raw[LogPageSize], const uint8_t plain[LogPageSize],
                                       const std::string& authenticity) {
  return AddPage("sys", "event", 1, U32(plain + 16), &TZarnDocument::AddSystemEventView, raw, plain, authenticity);
}

bool TZarnDocument::AddHealthPage(const uint8_t raw[LogPageSize], const uint8_t plain[LogPageSize],
                                  const std::string& authenticity) {
  return AddPage("soh", "soh", 1, MakeSealTime(uint16_t(U16(plain + 16) - 2), 0), &TZarnDocument::AddHealthView, raw,
                 plain, authenticity);
}

bool TZarnDocument::AddStatus(const uint8_t raw[StatusRecordSize], const uint8_t plain[StatusRecordSize]) {
  Lock lock(*this);
  if (!currentKey_) return false;
  if (pugi::xml_node old = queries_->status.evaluate_node(currentKey_).node()) Remove(currentKey_, old);
  pugi::xml_node status = currentKey_.append_child("status");
  if (!status) return false;
  if (!AddText(status, BytesToHex(raw, StatusRecordSize))) {
    Remove(currentKey_, status);
    return false;
  }
  return AddStatusView(status, plain);
}

bool TZarnDocument::AddPad(const uint8_t* rawPages, unsigned lastPage, const std::string& text) {
  Lock lock(*this);
  if (text.empty()) return true;
  if (!currentKey_ || lastPage >= MaxPadPages) return false;
  const std::string hex = BytesToHex(rawPages, size_t(lastPage + 1) * PadPageSize);
  for (pugi::xpath_node match : queries_->pads.evaluate_node_set(currentKey_))
    if (hex == match.node().first_child().value()) return true;
  pugi::xml_node pad = currentKey_.append_child("pad");
  if (!pad) return false;
  if (!AddText(pad, hex)) {
    Remove(currentKey_, pad);
    return false;
  }
  // A pad carries no attribute, so nothing else would mark it unsaved.
  MarkModified();
  return AddPadView(pad, text);
}

// ---- Views ----

bool TZarnDocument::AddLogView(pugi::xml_node page, const uint8_t plain[LogPageSize],
                               const std::string& authenticity) {
  switch (plain[2]) {
    case 'F': return AddSealEventView(page, plain, authenticity);
    case 'S': return AddSystemEventView(page, plain, authenticity);
    case 'H': return AddHealthView(page, plain, authenticity);
    default: return false;
  }
}

// The view's own attributes; the plain goes again when one cannot be written.
pugi::xml_node TZarnDocument::StartLogView(pugi::xml_node page, const char* log, const uint8_t* plain,
                                           const std::string& authenticity) {
  pugi::xml_node view = page.append_child("plain");
  if (!view) return view;
  if (!SetAttribute(view, "log", log) || !SetAttribute(view, "no", Unsigned(plain[3])) ||
      !SetDateTimeAttrs(view, U32(plain + 4)) || !SetVerifiedAttr(view, authenticity)) {
    Remove(page, view);
    return pugi::xml_node();
  }
  return view;
}

bool TZarnDocument::AddSealEventView(pugi::xml_node page, const uint8_t plain[LogPageSize],
                                     const std::string& authenticity) {
  pugi::xml_node view = StartLogView(page, "fo", plain, authenticity);
  if (!view) return false;
  for (unsigned slot = 0; slot < 12; ++slot) {
    TSealTime time = U32(plain + 16 + 4 * slot);
    if (IsNullSealTime(time)) continue;
    pugi::xml_node entry = view.append_child("event");
    if (!SetAttribute(entry, "index", Unsigned(slot + 1)) || !SetDateTimeAttrs(entry, time)) return false;
  }
  return true;
}

bool TZarnDocument::AddSystemEventView(pugi::xml_node page, const uint8_t plain[LogPageSize],
                                       const std::string& authenticity) {
  pugi::xml_node view = StartLogView(page, "sys", plain, authenticity);
  if (!view) return false;
  for (unsigned slot = 0; slot < 8; ++slot) {
    const uint8_t* at = plain + 16 + 6 * slot;
    TSealTime time = U32(at);
    if (IsNullSealTime(time)) continue;
    pugi::xml_node entry = view.append_child("event");
    if (!SetAttribute(entry, "index", Unsigned(slot + 1)) || !SetDateTimeAttrs(entry, time) ||
        !SetAttribute(entry, "code", IntToDecimal(U16(at + 4))))
      return false;
  }
  return true;
}

bool TZarnDocument::AddHealthView(pugi::xml_node page, const uint8_t plain[LogPageSize],
                                  const std::string& authenticity) {
  pugi::xml_node view = StartLogView(page, "soh", plain, authenticity);
  if (!view) return false;
  for (unsigned slot = 0; slot < 6; ++slot) {
    const uint8_t* at = plain + 16 + 8 * slot;
    uint16_t day = U16(at);
    if (day == 0) continue;
    pugi::xml_node entry = view.append_child("soh");
    if (!SetAttribute(entry, "index", Unsigned(slot + 1)) ||
        !SetDateTimeAttrs(entry, MakeSealTime(uint16_t(day - 2), 0)) ||
        !SetAttribute(entry, "mint", SignedByteToText(at[2])) || !SetAttribute(entry, "maxt", SignedByteToText(at[3])) ||
        !SetAttribute(entry, "ebat", TenthsToTextB(at[4])) || !SetAttribute(entry, "mbat", TenthsToText(at[5])) ||
        !SetAttribute(entry, "onbat", Unsigned(at[6] * 12u)) || !SetAttribute(entry, "mvevt", Unsigned(at[7])))
      return false;
  }
  return true;
}

bool TZarnDocument::AddStatusView(pugi::xml_node status, const uint8_t p[StatusRecordSize]) {
  pugi::xml_node view = status.append_child("plain");
  if (!view || !SetDateTimeAttrs(view, U32(p + 4))) return false;
  auto day = [p](int at) { return SealTimeToDateText(MakeSealTime(U16(p + at), 0)); };
  auto s16 = [p](int at) { return IntToDecimal(int16_t(U16(p + at))); };
  auto u16 = [p](int at) { return Unsigned(U16(p + at)); };
  const std::pair<const char*, std::string> values[] = {
      {"operator1", UserIdToInitials(U16(p + 8))},
      {"operator2", UserIdToInitials(U16(p + 10))},
      {"sealwire", SealWireToText(p[12])},
      {"protection", ProtectionToText(p[12])},
      {"housing", HousingToText(p[12])},
      {"ext-power", ExtPowerToText(p[12])},
      {"bat-volts", TenthsToText(p[15])},
      {"bat-consumed", RoundThousandsToText(U32(p + 44))},
      {"bat-type", TreeText(FixedText8(p + 34))},
      {"bat-id", TreeText(BatteryIdToText(p + 26))},
      {"bat-installed", day(54)},
      {"bat-manufactured", MonthYearToText(U16(p + 42))},
      {"ebat-volts", TenthsToTextB(p[14])},
      {"ebat-consumed", RoundThousandsToText(U32(p + 50))},
      {"ebat-installed", day(56)},
      {"ebat-manufactured", MonthYearToText(U16(p + 48))},
      {"temperature", SignedByteToText(p[13])},
      {"vacenabled", YesNoText(p[90])},
      {"vacattach", Unsigned(U32(p + 86))},
      {"flash-warnings", u16(16)},
      {"flash-errors", u16(18)},
      {"ram-warnings", u16(20)},
      {"ram-errors", u16(22)},
      {"t0-offset", s16(58)},
      {"f0-offset", s16(60)},
      {"laser-threshold", u16(62)},
      {"laser-500uw", u16(64)},
      {"laser-peak", u16(66)},
      {"laser-adjusted", day(68)},
      {"laser-id", TreeText(FixedText16(p + 70))},
  };
  for (const auto& [name, text] : values) {
    pugi::xml_node value = view.append_child(name);
    if (!value || !AddText(value, text)) return false;
  }
  return true;
}

bool TZarnDocument::AddPadView(pugi::xml_node pad, const std::string& text) {
  pugi::xml_node view = pad.append_child("plain");
  if (!view) return false;
  pugi::xml_node section = view.append_child(pugi::node_cdata);
  return section && section.set_value(platform::Cp1252ToUtf8(CleanCDataText(text)).c_str());
}

// ---- Opening ----

bool TZarnDocument::LoadFromFile(const std::string& fileName) {
  std::string message;
  std::vector<uint32_t> serials;
  bool ok = false;
  {
    Lock lock(*this);
    const bool wasModified = modified_;
    try {
      ok = Load(fileName, message, serials);
    } catch (const std::bad_alloc&) {
      // The document as it was stays; the spare one is gone.
      modified_ = wasModified;
      message = OutOfMemoryText;
    }
  }
  // After the tree is taken, so the window lists the seals of the document it will read.
  if (ok)
    for (uint32_t serial : serials) PostMessage(FindWindow(MainWindowClass), WM_SEALINDATABASE, 0, LPARAM(serial));
  if (!message.empty()) (host_.ShowError ? host_.ShowError : ShowError)(message);
  return ok;
}

// The file is parsed into a spare document and rebuilt there; the document takes it
// only when all of that worked, so a failed open never leaves half a tree behind.
bool TZarnDocument::Load(const std::string& fileName, std::string& message, std::vector<uint32_t>& serials) {
  auto spare = CreateDomDocument();
  char* buffer = nullptr;
  size_t size = 0;
  std::string reason;
  if (!ReadForParser(fileName, buffer, size, reason)) {
    message = ParseErrorText(reason, 0, 0);
    NewDocument();
    return false;
  }
  // Comments, processing instructions and the declaration stay, so a save keeps them.
  pugi::xml_parse_result parsed = spare->load_buffer_inplace_own(buffer, size, pugi::parse_full, pugi::encoding_auto);
  ptrdiff_t errorAt = parsed.offset;
  reason = parsed ? "" : parsed.description();
  if (parsed) {
    // pugixml takes several top-level elements; a seal data file has one.
    int elements = 0;
    for (pugi::xml_node child : spare->children())
      if (child.type() == pugi::node_element && ++elements == 2) {
        reason = SecondRootText;
        errorAt = child.offset_debug();
        break;
      }
  }
  if (!reason.empty()) {
    spare.reset();  // and the file it holds, before the file is read again
    unsigned line, position;
    LineAndPosition(fileName, errorAt, line, position);
    message = ParseErrorText(reason, line, position);
    NewDocument();
    return false;
  }
  pugi::xml_node root = spare->document_element();
  if (std::strcmp(root.name(), "zarn") != 0) {
    message = NotSealDataText;
    NewDocument();
    return false;
  }
  std::unique_ptr<TCryptoToken> token;
  try {
    token = cryptoFactory_ ? cryptoFactory_() : std::make_unique<TCryptoToken>();
  } catch (const ETokenError&) {
  }
  if (!token) {
    message = NoCryptoText;
    return false;
  }
  // Every view of the file goes, wherever it sits: only the hex texts are believed.
  RemoveViews(*spare, queries_->everyView);
  // What the views took stays in the parser's pages; a copy holds only what is left,
  // so the views built next do not come on top of the ones thrown away.
  auto kept = CreateDomDocument();
  kept->reset(*spare);
  spare = std::move(kept);
  root = spare->document_element();
  std::vector<TKeyRecords> keys;
  std::vector<RecordNodes> nodes;
  for (pugi::xpath_node s : queries_->seals.evaluate_node_set(root)) {
    pugi::xml_node seal = s.node();
    uint32_t serial;
    if (ParseSerial(seal.attribute("sn").value(), serial)) serials.push_back(serial);
    for (pugi::xpath_node k : queries_->keys.evaluate_node_set(seal)) {
      pugi::xml_node key = k.node();
      TKeyRecords records;
      try {
        records.time = TextToSealTime(key.attribute("date").value(), key.attribute("time").value());
        records.number = TextToKeysetNumber(key.attribute("no").value());
      } catch (const EConvertError&) {
        continue;  // a key-set nobody can name gets no views at all
      }
      ReadKeyRecords(key, records, nodes.emplace_back());
      keys.push_back(std::move(records));
    }
  }
  TKeyDecoder(cryptoFactory_ ? cryptoFactory_ : [] { return std::make_unique<TCryptoToken>(); }, KeyDecodeWorkers)
      .Decode(*token, keys);
  for (size_t i = 0; i < keys.size(); ++i) AddKeyViews(keys[i], nodes[i]);
  token.reset();
  dom_ = std::move(spare);
  root_ = root;
  ++stamp_.generation;
  currentKey_ = pugi::xml_node();
  modified_ = false;
  return true;
}

void TZarnDocument::RemoveViews(pugi::xml_node below, const pugi::xpath_query& query) {
  pugi::xpath_node_set views = query.evaluate_node_set(below);
  views.sort();
  // From the last in document order, so a view inside a view goes before its container.
  for (size_t i = views.size(); i-- > 0;) {
    pugi::xml_node view = views[i].node();
    view.parent().remove_child(view);
  }
}

// The records of a key as HexToBytes reads their hex texts, in document order. A page or
// status text too short for its record is no record a seal sent, and a pad longer than
// any seal's: they get no view. A pair that is no hex reads as 0 and digits past the
// record are not read, so an edited record shows as "not authentic" or as nonsense.
void TZarnDocument::ReadKeyRecords(pugi::xml_node key, TKeyRecords& records, RecordNodes& nodes) const {
  for (pugi::xpath_node match : queries_->pages.evaluate_node_set(key)) {
    std::string text = RecordText(match.node());
    if (text.size() < PageHexDigits) continue;
    HexToBytes(text, records.pages.emplace_back().data(), LogPageSize);
    nodes.pages.push_back(match.node());
  }
  for (pugi::xpath_node match : queries_->pads.evaluate_node_set(key)) {
    std::string text = RecordText(match.node());
    const size_t n = text.size() / 2;
    if (n > MaxPadPages * PadPageSize) continue;
    TKeyRecords::Pad& pad = records.pads.emplace_back();
    pad.size = n;
    pad.bytes.assign((n / PadPageSize + 1) * PadPageSize, 0);
    HexToBytes(text, pad.bytes.data(), n);
    nodes.pads.push_back(match.node());
  }
  for (pugi::xpath_node match : queries_->status.evaluate_node_set(key)) {
    std::string text = RecordText(match.node());
    if (text.size() < StatusHexDigits) continue;
    HexToBytes(text, records.status.emplace_back().data(), StatusRecordSize);
    nodes.status.push_back(match.node());
  }
}

// The views of what decoding made of a key's records, on the nodes they came from.
void TZarnDocument::AddKeyViews(const TKeyRecords& records, const RecordNodes& nodes) {
  if (records.pagesDecoded)
    for (size_t i = 0; i < nodes.pages.size(); ++i)
      AddLogView(nodes.pages[i], records.pages[i].data(), AuthenticityText(records.verdicts[i]));
  for (size_t i = 0; i < records.padsDecoded; ++i) {
    const TKeyRecords::Pad& pad = records.pads[i];
    size_t length = pad.size < 2 ? 0 : std::min<size_t>(U16(pad.bytes.data()), pad.size - 2);
    AddPadView(nodes.pads[i], std::string(reinterpret_cast<const char*>(pad.bytes.data()) + 2, length));
  }
  for (size_t i = 0; i < records.statusDecoded; ++i) AddStatusView(nodes.status[i], records.status[i].data());
}

// ---- Saving ----

void TZarnDocument::Write(pugi::xml_writer& out, bool withViews) const {
  constexpr unsigned flags = pugi::format_raw;
  if (withViews) {
    dom_->save(out, "", flags, pugi::encoding_utf8);
    return;
  }
  pugi::xml_document copy;
  copy.reset(*dom_);
  RemoveViews(copy.document_element(), queries_->everyView);
  copy.save(out, "", flags, pugi::encoding_utf8);
}

std::string TZarnDocument::Xml(bool withViews) const {
  Lock lock(*this);
  StringWriter out;
  Write(out, withViews);
  return std::move(out.text);
}

bool TZarnDocument::SaveToFile(const std::string& fileName, bool withViews) {
  if (host_.ShowBusyIcon) host_.ShowBusyIcon();
  platform::ReplaceResult result = platform::ReplaceResult::Failed;
  std::string reason;
  {
    Lock lock(*this);
    try {
      result = platform::ReplaceFile(
          fileName,
          [&](int fd) {
            FileWriter out(fd);
            Write(out, withViews);
            return out.ok;
          },
          &reason);
    } catch (const std::bad_alloc&) {
      result = platform::ReplaceResult::Failed;
      reason = std::strerror(ENOMEM);
    }
    if (result == platform::ReplaceResult::Replaced) modified_ = false;
  }
  if (host_.HideBusyIcon) host_.HideBusyIcon();
  if (result == platform::ReplaceResult::Replaced) return true;
  // The system's text, then which file and why, as a paragraph of its own.
  if (result == platform::ReplaceResult::FolderNotWritable) {
    const std::string folder = fs::path(platform::ReplacedFile(fileName)).parent_path().string();
    reason = "The folder \"" + (folder.empty() ? "." : folder) + "\" is not writable";
  }
  std::string message = SaveFailedText;
  if (!fileName.empty()) message += "\rThe file \"" + fileName + "\" could not be written: " + reason + ".";
  (host_.ShowError ? host_.ShowError : ShowError)(message);
  return false;
}
