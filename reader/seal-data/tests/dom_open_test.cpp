// Opening seal data files: every view built again from the hex texts through the real
// crypto service, what a file may not make the document believe, and the files it
// refuses. The records are the simulated seal's own, in both block modes.
#include <QCoreApplication>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <tuple>

#include "dom.h"
#include "dom_test_util.h"
#include "dom_world.h"
#include "file_traps.h"
#include "message_box.h"
#include "port.h"
#include "seal.h"

namespace fs = std::filesystem;
using namespace dom_test;

namespace {

const TSealTime T1 = Time("2024-06-01", "10:00:00"), T2 = Time("2024-06-01", "11:30:15"),
                T3 = Time("2024-06-02", "00:00:01");

uint32_t NextSerial() {
  static uint32_t serial = 7000;
  return ++serial;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// Loads a saved file into pugixml, lets the test change it, writes it back.
template <class F>
void EditFile(const fs::path& path, F change) {
  pugi::xml_document d;
  ASSERT_TRUE(d.load_file(path.c_str(), pugi::parse_full));
  change(d);
  ASSERT_TRUE(d.save_file(path.c_str(), "", pugi::format_raw));
}

// Every kind of record of one seal's key-set, as the writers get them from the seal link.
void WriteRecords(TZarnDocument& doc, const SealRecords& r) {
  ASSERT_TRUE(doc.SelectKeyset(r.Serial(), r.KeysetNumber(), r.KeysetTime()));
  const Page pages[] = {
      r.Signed(SealEventPage(0, {0, T1, T2})),
      r.Signed(SealEventPage(1, {T2, T3})),
      r.Signed(SystemEventPage(16, {{T1, 7}, {0, 0}, {T3, 40000}})),
      r.Signed(HealthPage(32, {{2, 0xFB, 30, 36, 35, 2, 9}, {1, 1, 2, 3, 4, 5, 6}, {8000, 0, 0, 0, 0, 0, 0}})),
  };
  for (const Page& plain : pages) ASSERT_TRUE(doc.AddLogPage(r.Encrypted(plain).data(), plain.data(), AuthenticText));
  Status status = StatusRecord(T3);
  std::memcpy(status.data() + 34, "<&>\xE9", 4);
  ASSERT_TRUE(doc.AddStatus(r.Encrypted(status).data(), status.data()));
  const std::string text = "pad ]]> text\x01 \xE9 over two pages " + std::string(80, '.');
  std::vector<uint8_t> pad = PadPages(text, 2);
  r.Encrypt(pad.data(), pad.size());
  ASSERT_TRUE(doc.AddPad(pad.data(), 1, text));
}

struct TempDir {
  TempDir() {
    char name[] = "/tmp/zarn-open-XXXXXX";
    path = ::mkdtemp(name);
  }
  ~TempDir() { fs::remove_all(path); }
  fs::path path;
};

class Opening : public ::testing::Test {
 protected:
  // A seal whose key-set the crypto service has in its database.
  SealRecords& KnownSeal(uint8_t major) {
    seals_.push_back(std::make_unique<SealRecords>(NextSerial(), major));
    StoreKeyset(seals_.back()->Seal().Keyset());
    return *seals_.back();
  }
  SealRecords& UnknownSeal(uint8_t major) {
    seals_.push_back(std::make_unique<SealRecords>(NextSerial(), major));
    return *seals_.back();
  }
  fs::path Save(TZarnDocument& d, const char* name, bool withViews) {
    fs::path file = dir.path / name;
    EXPECT_TRUE(d.SaveToFile(file, withViews));
    return file;
  }
  // What a document opened from the file holds.
  std::string Opened(const fs::path& file) {
    TZarnDocument opened(window.Host());
    EXPECT_TRUE(opened.LoadFromFile(file)) << file;
    EXPECT_FALSE(opened.Modified());
    return Describe(opened);
  }

  platform::MessageBoxRecorder boxes;
  MainWindow window;
  TempDir dir;
  TZarnDocument doc{window.Host()};

 private:
  std::vector<std::unique_ptr<SealRecords>> seals_;
};

class BothModes : public Opening, public ::testing::WithParamInterface<int> {};

std::string ModeName(const testing::TestParamInfo<int>& info) {
  return info.param >= 3 ? "Block16" : "Block8";
}

}  // namespace

// The read-out as the seal operations do it: the seal link's commands against a
// simulated seal, through the crypto service, into the document.
TEST_P(BothModes, ReadOutSavesAndOpensWithTheSameViews) {
  sim::SealLinkSimulator link;
  SealRecords& r = KnownSeal(uint8_t(GetParam()));
  sim::SimulatedSeal& seal = r.Seal();
  seal.Attach(link);
  for (int i = 0; i < 14; ++i) seal.AddSealEvent(T1 + uint32_t(i) * 65536);
  seal.AddSystemEvent(T2, 1901);
  seal.AddHealthRecord({9000, -4, 31, 36, 35, 1, 2});
  std::string text = "Pad & <text> \xE9";
  seal.SetPadPage(0, [&] {
    sim::SealPage p{};
    auto b = PadPages(text, 1);
    std::copy(b.begin(), b.end(), p.begin());
    return p;
  }());

  TEthernetPort port(link.ServeTcpOnFreeAddress(), 2000);
  ASSERT_EQ(port.Open({}, {}), 0);
  TSeal reader(r.Serial());
  ASSERT_EQ(reader.Initialize(port), 0);
  TCryptoToken token;
  const TSealFields fields = reader.Snapshot();
  ASSERT_EQ(fields.mode16, GetParam() >= 3);
  ASSERT_TRUE(doc.SelectKeyset(r.Serial(), fields.keysetNumber, fields.keysetTime));
  uint8_t raw[StatusRecordSize], plain[StatusRecordSize];
  ASSERT_EQ(reader.GetStatus(port, token, raw, plain), 0);
  ASSERT_TRUE(doc.AddStatus(raw, plain));
  for (uint8_t number : {0, 1, 16, 32}) {
    std::string authenticity;
    ASSERT_EQ(reader.ReadLogPage(port, token, number, raw, plain, authenticity), 0);
    ASSERT_EQ(authenticity, AuthenticText);
    ASSERT_TRUE(doc.AddLogPage(raw, plain, authenticity));
  }
  std::vector<uint8_t> pad(4 * PadPageSize);
  for (uint8_t page = 0; page < 4; ++page)
    ASSERT_EQ(reader.ReadPadPage(port, token, page, pad.data() + page * PadPageSize, plain), 0);
  ASSERT_TRUE(doc.AddPad(pad.data(), 3, text));
  port.Close();

  const std::string views = Describe(doc);
  EXPECT_EQ(Count(doc, "//plain[@verified='authentic']"), 4u);
  EXPECT_EQ(Count(doc, "//event"), 15u);
  EXPECT_EQ(Select(doc, "//bat-type"), std::vector<std::string>{"LiSOCl2"});
  const fs::path xml = Save(doc, "read.xml", true), zrd = Save(doc, "read.zrd", false);
  EXPECT_EQ(ReadFile(zrd).find("plain"), std::string::npos);
  window.Clear();
  EXPECT_EQ(Opened(xml), views);
  EXPECT_EQ(Opened(zrd), views);
  EXPECT_EQ(window.SealsInDatabase(), (std::vector<uint32_t>{r.Serial(), r.Serial()}));
  EXPECT_EQ(window.PanelNow(), "");
  EXPECT_TRUE(boxes.Boxes().empty());
}

// A file's views count for nothing: altered or forged ones are replaced by the views
// the hex texts give, and a page whose hex text was changed is "not authentic".
TEST_P(BothModes, ViewsComeFromTheHexTextsOnly) {
  SealRecords& r = KnownSeal(uint8_t(GetParam()));
  WriteRecords(doc, r);
  const std::string views = Describe(doc);
  const fs::path file = Save(doc, "edited.xml", true);
  EditFile(file, [](pugi::xml_document& d) {
    pugi::xml_node key = d.select_node("//key").node();
    key.select_node("page/plain/event").node().attribute("date").set_value("1999-12-31");
    key.select_node("page[2]/plain").node().attribute("verified").set_value("not authentic");
    key.select_node("page[3]/plain").node().remove_attribute("verified");
    key.select_node("status/plain/bat-type").node().text().set("forged");
    key.remove_child(key.select_node("page[4]/plain").node());  // a view of its own next time
    key.select_node("pad/plain").node().first_child().set_value("forged pad");
    key.parent().prepend_child("plain").append_attribute("verified") = "authentic";
    key.append_child("page").append_child("plain").append_attribute("verified") = "authentic";
  });
  // The view-less page stays; it holds no hex text, so it gets none.
  std::string expected = views + "      page\n";
  std::string opened = Opened(file);
  EXPECT_EQ(opened, expected);

  // One hex digit of the last block of page 2 flipped: still a seal-event page, but not the seal's.
  EditFile(file, [](pugi::xml_document& d) {
    pugi::xml_node text = d.select_node("//key/page[2]").node().first_child();
    std::string hex = text.value();
    hex.back() = hex.back() == '0' ? '1' : '0';
    text.set_value(hex.c_str());
  });
  TZarnDocument flipped;
  ASSERT_TRUE(flipped.LoadFromFile(file));
  EXPECT_EQ(Select(flipped, "//key/page/plain/@verified"),
            (std::vector<std::string>{AuthenticText, NotAuthenticText, AuthenticText, AuthenticText}));
  EXPECT_EQ(Select(flipped, "//key/page[2]/plain/@log"), std::vector<std::string>{"fo"});
}

// A key-set whose seal sent no page: the mode comes from its status record and pads.
TEST_P(BothModes, KeyWithoutPagesGetsItsStatusAndPadBack) {
  SealRecords& r = KnownSeal(uint8_t(GetParam()));
  ASSERT_TRUE(doc.SelectKeyset(r.Serial(), r.KeysetNumber(), r.KeysetTime()));
  Status status = StatusRecord(T2);
  ASSERT_TRUE(doc.AddStatus(r.Encrypted(status).data(), status.data()));
  std::vector<uint8_t> pad = PadPages("only a pad", 4);
  r.Encrypt(pad.data(), pad.size());
  ASSERT_TRUE(doc.AddPad(pad.data(), 3, "only a pad"));
  const std::string views = Describe(doc);
  EXPECT_EQ(Opened(Save(doc, "nopages.zrd", false)), views);
}

// Key-sets are decoded on worker threads, each with a client of its own; workers that
// cannot get one leave every key-set to the opening thread, with the same views.
TEST_P(BothModes, WorkersWithoutAClientLeaveTheKeysetsToTheOpeningThread) {
  for (int i = 0; i < 3; ++i) WriteRecords(doc, KnownSeal(uint8_t(GetParam())));
  const std::string views = Describe(doc);
  const fs::path file = Save(doc, "workers.zrd", false);
  for (bool workersGetClients : {true, false}) {
    std::atomic<int> made{0};
    TZarnDocument opened(window.Host());
    opened.SetCryptoFactory([&made, workersGetClients] {
      if (made++ > 0 && !workersGetClients) throw ETokenError("no client for a worker");
      return std::make_unique<TCryptoToken>();
    });
    ASSERT_TRUE(opened.LoadFromFile(file));
    EXPECT_EQ(Describe(opened), views) << workersGetClients;
    EXPECT_EQ(made.load(), 3) << workersGetClients;  // the opening thread's and one for each other key-set
  }
}

INSTANTIATE_TEST_SUITE_P(Seal, BothModes, ::testing::Values(2, 3), ModeName);

// What opening makes of each key by what the crypto service can do with its key-set.
TEST_F(Opening, EachKeyByWhatTheServiceKnows) {
  SealRecords& known = KnownSeal(3);
  WriteRecords(doc, known);
  // Key-set 0: with no number, date or time the service computes with its zero key-set.
  SealRecords zero(NextSerial(), 2);
  zero.Seal().SetKeyset(sim::SealKeyset::Zero());
  WriteRecords(doc, zero);
  ASSERT_EQ(Count(doc, "//key[@no=''][@date=''][@time='']"), 1u);
  // Unknown to the service: decryption fails, so no view at all.
  SealRecords& unknown = UnknownSeal(2);
  WriteRecords(doc, unknown);
  // A key whose date is no date keeps none of the views the file claims.
  SealRecords& unreadable = KnownSeal(2);
  WriteRecords(doc, unreadable);
  // On a token that holds only the encryption key, the signatures cannot be checked.
  SealRecords& onToken = UnknownSeal(3);
  WriteRecords(doc, onToken);
  const sim::SealKeyset k = onToken.Seal().Keyset();
  World::Get().Tokens().Plug(21, 9021).AddKeyset({k.number, k.Seconds(), 0x08, k.keys});
  {
    TCryptoToken token;  // waits for the service to find the token
    token.SelectKeyset(k.number, k.time);
    uint8_t probe[8] = {};
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (token.DecryptData(probe, 1) != 0 && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(token.DecryptData(probe, 1), 0) << "the service did not find the token";
  }
  const fs::path file = Save(doc, "keys.xml", true);
  EditFile(file, [&](pugi::xml_document& d) {
    std::string sn = std::to_string(unreadable.Serial());
    d.select_node(("//seal[@sn='" + sn + "']/key").c_str()).node().attribute("date").set_value("2024-13-45");
  });
  TZarnDocument opened;
  ASSERT_TRUE(opened.LoadFromFile(file));
  auto views = [&](const SealRecords& r, const char* below) {
    return Count(opened, ("//seal[@sn='" + std::to_string(r.Serial()) + "']/key" + below).c_str());
  };
  EXPECT_EQ(views(known, "//plain[@verified='authentic']"), 4u);
  EXPECT_EQ(views(zero, "//plain[@verified='authentic']"), 4u);
  EXPECT_EQ(views(zero, "/status/plain/bat-type"), 1u);
  EXPECT_EQ(views(unknown, "//plain"), 0u);
  EXPECT_EQ(views(unknown, "/page"), 4u);  // the records themselves stay
  EXPECT_EQ(views(unreadable, "//plain"), 0u);
  // Decrypted by the token, no verdict on the signatures: views without `verified`.
  EXPECT_EQ(views(onToken, "/page/plain"), 4u);
  EXPECT_EQ(views(onToken, "//plain[@verified]"), 0u);
  EXPECT_EQ(views(onToken, "/status/plain/bat-type"), 1u);
  EXPECT_EQ(views(onToken, "/pad/plain"), 1u);
  World::Get().Tokens().Unplug(21);
  EXPECT_TRUE(boxes.Boxes().empty());
}

TEST_F(Opening, RefusedFilesLeaveANewDocument) {
  struct Case {
    const char* name;
    std::string file;  // empty: no file at all
    std::string message;
  } cases[] = {
      {"the root in other letters", "<?xml version=\"1.0\"?><ZARN></ZARN>", "The specified file is not a seal data file."},
      {"another root", "<seals><zarn/></seals>", "The specified file is not a seal data file."},
      {"a mismatched end tag", "<?xml version=\"1.0\"?>\n<zarn>\n  <seal sn=\"1\"></sael>\n</zarn>",
       "Start-end tags mismatch (Line: 3 Pos.: 18)"},
      {"a second document element", "<zarn/>\n<zarn/>", "Only one top level element is allowed. (Line: 2 Pos.: 2)"},
      {"no element", "", "No document element found (Line: 1 Pos.: 1)"},
      {"a cut-off file", "<zarn><seal sn=\"1\"><key no=\"0", "Error parsing element attribute (Line: 1 Pos.: 29)"},
      {"no file", "-", "No such file or directory (Line: 0 Pos.: 0)"},
  };
  for (const Case& c : cases) {
    boxes.Clear();
    SealRecords& r = UnknownSeal(2);
    WriteRecords(doc, r);
    fs::path file = dir.path / "refused.xml";
    fs::remove(file);
    if (c.file != "-") WriteFile(file, c.file);
    EXPECT_FALSE(doc.LoadFromFile(file)) << c.name;
    ASSERT_EQ(boxes.Boxes().size(), 1u) << c.name;
    EXPECT_EQ(boxes.Boxes()[0].text, c.message) << c.name;
    EXPECT_EQ(boxes.Boxes()[0].flags, platform::MB_OK | platform::MB_ICONERROR);
    EXPECT_EQ(doc.Xml(), "<?xml version=\"1.0\"?><zarn/>") << c.name;
    EXPECT_FALSE(doc.Modified());
  }
}

// What is no file to read, or far larger than any seal data file, is refused at once and
// before anything of it is read: a FIFO nobody writes to would hold the window thread.
TEST_F(Opening, WhatIsNoSealDataFileIsRefusedBeforeItIsRead) {
  sim::Fifo fifo((dir.path / "fifo.xml").string());
  // Within the limit but no XML (sparse, all zeros): finding the position of the fault
  // takes no second copy of the file.
  const fs::path huge = dir.path / "huge.xml";
  constexpr long long Size = 200ll << 20;
  WriteFile(huge, "");
  fs::resize_file(huge, Size);
  boxes.Clear();
  const long long peak = sim::PeakMemory();
  EXPECT_FALSE(doc.LoadFromFile(huge));
  EXPECT_LT(sim::PeakMemory() - peak, sim::MemoryPerByteRead * Size * 3 / 2);
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_EQ(boxes.Boxes()[0].text, "No document element found (Line: 1 Pos.: " + std::to_string(Size) + ")");
  fs::resize_file(huge, 3ull << 30);  // far over the limit

  struct Case {
    const char* name;
    std::string file;
    std::string message;
  } cases[] = {
      {"a FIFO", fifo.Path(), "The file cannot be read. (Line: 0 Pos.: 0)"},
      {"a folder", dir.path.string(), "Is a directory (Line: 0 Pos.: 0)"},
      {"a device", "/dev/zero", "The file cannot be read. (Line: 0 Pos.: 0)"},
      {"a file too large", huge.string(),
       "The file \"" + huge.string() + "\" is too large to be a seal data file (over 256 MB). (Line: 0 Pos.: 0)"},
  };
  for (const Case& c : cases) {
    boxes.Clear();
    WriteRecords(doc, UnknownSeal(2));
    const long long peak = sim::PeakMemory();
    EXPECT_TRUE(fifo.ReturnsAtOnce([&] { EXPECT_FALSE(doc.LoadFromFile(c.file)) << c.name; })) << c.name;
    EXPECT_LT(sim::PeakMemory() - peak, 64ll << 20) << c.name;
    ASSERT_EQ(boxes.Boxes().size(), 1u) << c.name;
    EXPECT_EQ(boxes.Boxes()[0].text, c.message) << c.name;
    EXPECT_EQ(doc.Xml(), "<?xml version=\"1.0\"?><zarn/>") << c.name;
  }
  SealRecords& r = KnownSeal(2);
  WriteRecords(doc, r);
  const fs::path good = Save(doc, "good.xml", true);
  EXPECT_TRUE(doc.LoadFromFile(good));
  EXPECT_EQ(Count(doc, "//plain[@verified='authentic']"), 4u);
}

// Without a crypto service nothing of the file is taken: what was open stays as it was.
TEST_F(Opening, WithoutACryptoServiceTheFileIsNotTaken) {
  SealRecords& r = KnownSeal(2);
  WriteRecords(doc, r);
  const fs::path file = Save(doc, "good.zrd", false);
  WriteRecords(doc, KnownSeal(3));
  const std::string before = doc.Xml();
  window.Clear();
  doc.SetCryptoFactory([] { return std::make_unique<TCryptoToken>(MakeGuid("{0B5E1C7A-2D3F-4A6B-9C8D-7E6F5A4B3C2D}")); });
  EXPECT_FALSE(doc.LoadFromFile(file));
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_EQ(boxes.Boxes()[0].text, "Crypto services not available.");
  EXPECT_EQ(doc.Xml(), before);
  EXPECT_TRUE(doc.Modified());
  EXPECT_EQ(window.PanelNow(), ModifiedPanelText);
  EXPECT_TRUE(window.SealsInDatabase().empty());
  doc.SetCryptoFactory({});
  EXPECT_TRUE(doc.LoadFromFile(file));
}

// Files no program of the system wrote. Each opens, or is refused with its reason,
// without a crash and without reading outside a record.
TEST_F(Opening, HostileFilesAreSkippedPieceByPiece) {
  SealRecords& r = KnownSeal(2);
  WriteRecords(doc, r);
  const std::string good = doc.Xml(false);
  const std::string sn = std::to_string(r.Serial());
  auto page = [&](int i) {
    return doc.WithDom([i](const pugi::xml_document& d) {
      return std::string(d.select_node(("//page[" + std::to_string(i) + "]").c_str()).node().first_child().value());
    });
  };
  const std::string p1 = page(1);
  const std::string st = doc.WithDom([](const pugi::xml_document& d) {
    return std::string(d.select_node("//status").node().first_child().value());
  });
  auto with = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
  };
  std::string deep;
  for (int i = 0; i < 20000; ++i) deep += "<d>";
  for (int i = 0; i < 20000; ++i) deep += "</d>";
  const std::string hugePad(2 * (MaxPadPages * PadPageSize + 64), 'A');
  struct Case {
    const char* name;
    std::string file;
    size_t pageViews;  // views of pages after opening
    size_t otherViews;  // of status and pads
    size_t seals;  // WM_SEALINDATABASE posted
  } cases[] = {
      {"untouched", good, 4, 2, 1},
      {"a page one digit short", with(p1, p1.substr(1)), 3, 2, 1},
      // A text past its record is read for the record's bytes; a pair that is no hex reads as 0.
      {"a page one digit long", with(p1, p1 + "0"), 4, 2, 1},
      {"a page of odd digits", with(p1, p1.substr(0, 64) + "XY" + p1.substr(66)), 4, 2, 1},
      {"a page with white space round it", with(p1, "\n  " + p1 + "\n"), 4, 2, 1},
      {"a page as CDATA", with(p1, "<![CDATA[" + p1 + "]]>"), 4, 2, 1},
      {"an empty page", with("<page>" + p1 + "</page>", "<page/>"), 3, 2, 1},
      {"a status one digit short", with(st, st.substr(1)), 4, 1, 1},
      {"a status one digit long", with(st, st + "0"), 4, 2, 1},
      {"a status of odd digits", with(st, "ZZ" + st.substr(2)), 4, 2, 1},
      {"a pad of three digits", with("<pad>", "<pad>ABC</pad><pad>"), 4, 3, 1},
      {"a pad beyond any seal's", with("<pad>", "<pad>" + hugePad + "</pad><pad>"), 4, 2, 1},
      {"a serial that is no number", with("sn=\"" + sn + "\"", "sn=\"" + sn + "x\""), 4, 2, 0},
      {"a negative serial", with("sn=\"" + sn + "\"", "sn=\"-1\""), 4, 2, 0},
      {"a serial past 32 bits", with("sn=\"" + sn + "\"", "sn=\"4294967296\""), 4, 2, 0},
      {"no serial", with("sn=\"" + sn + "\"", ""), 4, 2, 0},
      {"a key-set number that is no number", with("no=\"", "no=\"x"), 0, 0, 1},
      {"a view inside a view", with("<page>", "<page><plain><plain verified=\"authentic\"/></plain>"), 4, 2, 1},
      {"twenty thousand elements deep", with("</key>", deep + "</key>"), 4, 2, 1},
  };

  for (const Case& c : cases) {
    const fs::path file = dir.path / "hostile.xml";
    WriteFile(file, c.file);
    window.Clear();
    TZarnDocument opened;
    ASSERT_TRUE(opened.LoadFromFile(file)) << c.name;
    EXPECT_EQ(Count(opened, "//page/plain"), c.pageViews) << c.name;
    EXPECT_EQ(Count(opened, "//status/plain") + Count(opened, "//pad/plain"), c.otherViews) << c.name;
    EXPECT_EQ(Count(opened, "//plain/plain"), 0u) << c.name;
    EXPECT_EQ(window.SealsInDatabase().size(), c.seals) << c.name;
  }
  // The page with a pair that is no hex is shown, but not as the seal's; digits past the
  // page are not read.
  for (const auto& [name, text, verified] :
       {std::tuple{"odd digits", with(p1, p1.substr(0, 64) + "XY" + p1.substr(66)), NotAuthenticText},
        std::tuple{"one digit long", with(p1, p1 + "F"), AuthenticText}}) {
    WriteFile(dir.path / "page.xml", text);
    TZarnDocument opened;
    ASSERT_TRUE(opened.LoadFromFile(dir.path / "page.xml"));
    EXPECT_EQ(Select(opened, "//key/page[1]/plain/@verified"), std::vector<std::string>{verified}) << name;
  }
  // A pad of fewer than four digits has an empty view.
  WriteFile(dir.path / "short-pad.xml", with("<pad>", "<pad>ABC</pad><pad>"));
  TZarnDocument opened;
  ASSERT_TRUE(opened.LoadFromFile(dir.path / "short-pad.xml"));
  EXPECT_EQ(Select(opened, "//pad[1]/plain"), std::vector<std::string>{""});
  EXPECT_TRUE(boxes.Boxes().empty());
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  World world;
  QCoreApplication app(argc, argv);
  int result = RUN_ALL_TESTS();
  world.EndService();
  return result;
}
