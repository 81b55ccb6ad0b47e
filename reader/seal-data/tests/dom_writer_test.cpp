// The document's tree as the writers build it from what the seal link read, and saving
// it; no crypto service is involved here.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>

#include "dom.h"
#include "dom_test_util.h"
#include "message_box.h"
#include "replace_file.h"
#include "without_file_override.h"

namespace fs = std::filesystem;
using namespace dom_test;

namespace {

const TSealTime KeyTime = Time("2024-05-06", "07:08:09");
const uint32_t KeyNumber = 1234u << 8 | 3;
const TSealTime T1 = Time("2024-06-01", "10:00:00"), T2 = Time("2024-06-01", "11:30:15"),
                T3 = Time("2024-06-02", "00:00:01");

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

Page Raw(uint8_t fill) {
  Page p;
  p.fill(fill);
  return p;
}

Status RawStatus(uint8_t fill) {
  Status s;
  s.fill(fill);
  return s;
}

std::string Hex(uint8_t fill, size_t bytes) {
  std::vector<uint8_t> b(bytes, fill);
  return BytesToHex(b.data(), bytes);
}

// Every entry of a folder and what it holds (a folder's entry holds "/").
std::map<std::string, std::string> Contents(const fs::path& folder) {
  std::map<std::string, std::string> all;
  for (const auto& e : fs::directory_iterator(folder))
    all[e.path().filename()] = e.is_directory() ? "/" : ReadFile(e.path());
  return all;
}

struct TempDir {
  TempDir() {
    char name[] = "/tmp/zarn-dom-XXXXXX";
    path = ::mkdtemp(name);
  }
  ~TempDir() {
    std::error_code ec;
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path, ec);
  }
  fs::path path;
};

class Writers : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(doc.SelectKeyset(1234, KeyNumber, KeyTime)); }
  std::string Pages() { return Describe(doc); }

  MainWindow window;
  TZarnDocument doc{window.Host()};
};

}  // namespace

TEST(DocumentText, XmlEscapeAndCleanCDataText) {
  EXPECT_EQ(XmlEscape("a\"b&c'd<e>f"), "a&quot;b&amp;c&apos;d&lt;e&gt;f");
  EXPECT_EQ(XmlEscape(std::string("\x01\t\n\r\x1F\x7F\xE9", 7)), std::string(" \t\n\r \x7F\xE9", 7));
  struct {
    std::string in, out;
  } cases[] = {
      {"a]]>b", "a   b"},
      {std::string("x\0y\x1Bz", 5), "x y z"},
      {"]]]>>", "]   >"},
      {"]]>]]>", "      "},
      {"\t\r\n]]", "\t\r\n]]"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CleanCDataText(c.in), c.out) << c.in;
    EXPECT_EQ(CleanCDataText(c.in).size(), c.in.size());
  }
}

TEST(NewDocument, IsTheDeclarationAndAnEmptyZarn) {
  TZarnDocument doc;
  EXPECT_EQ(doc.Xml(), "<?xml version=\"1.0\"?><zarn/>");
  EXPECT_FALSE(doc.Modified());
  // Nothing is selected in a new document: a writer has no key to add to.
  const Page page = SealEventPage(1, {T1});
  EXPECT_FALSE(doc.AddLogPage(Raw(1).data(), page.data(), AuthenticText));
  ASSERT_TRUE(doc.SelectKeyset(1, 0x100, 0));
  EXPECT_TRUE(doc.AddLogPage(Raw(1).data(), page.data(), AuthenticText));
  doc.NewDocument();
  EXPECT_FALSE(doc.AddStatus(StatusRecord(T1).data(), StatusRecord(T1).data()));
  EXPECT_EQ(doc.Xml(), "<?xml version=\"1.0\"?><zarn/>");
}

TEST_F(Writers, BuildEveryRecordInItsFormAndOrder) {
  const Page fo = SealEventPage(5, {0, T1, 0, T2});
  const Page sys = SystemEventPage(17, {{T1, 513}, {0, 0}, {T3, 65535}});
  const Page soh = HealthPage(33, {{2, 0xFB, 25, 36, 35, 3, 7}, {0, 0, 0, 0, 0, 0, 0}, {1, 0, 0x80, 0, 255, 21, 255}});
  EXPECT_TRUE(doc.AddLogPage(Raw(0xAA).data(), fo.data(), AuthenticText));
  EXPECT_TRUE(doc.AddLogPage(Raw(0xBB).data(), sys.data(), NotAuthenticText));
  EXPECT_TRUE(doc.AddLogPage(Raw(0xCC).data(), soh.data(), ""));
  EXPECT_TRUE(doc.AddStatus(RawStatus(0xDD).data(), StatusRecord(T3).data()));
  std::vector<uint8_t> pad(128, 0xEE);
  EXPECT_TRUE(doc.AddPad(pad.data(), 1, "x"));

  std::string expected =
      "zarn\n"
      "  seal sn=1234\n"
      "    key no=01234-3 date=2024-05-06 time=07:08:09\n"
      "      page: " + std::string(128, 'A') + "\n"
      "        plain log=fo no=5 date=2024-06-01 time=10:00:00 verified=authentic\n"
      "          event index=2 date=2024-06-01 time=10:00:00\n"
      "          event index=4 date=2024-06-01 time=11:30:15\n"
      "      page: " + std::string(128, 'B') + "\n"
      "        plain log=sys no=17 date=2024-06-01 time=10:00:00 verified=not authentic\n"
      "          event index=1 date=2024-06-01 time=10:00:00 code=513\n"
      "          event index=3 date=2024-06-02 time=00:00:01 code=65535\n"
      "      page: " + std::string(128, 'C') + "\n"
      "        plain log=soh no=33 date=2000-01-01 time=12:00:00\n"
      // Day value 2 is the zero time, which has no texts; day value 1 wraps to 65535.
      "          soh index=1 date= time= mint=-5 maxt=25 ebat=3.6 mbat=3.5 onbat=36 mvevt=7\n"
      "          soh index=3 date=2089-09-18 time=00:00:00 mint=0 maxt=-128 ebat=0.0 mbat=25.5 onbat=252 mvevt=255\n"
      "      status: " + std::string(192, 'D') + "\n"
      "        plain date=2024-06-02 time=00:00:01\n";
  for (const auto& [name, text] : StatusTexts()) expected += "          " + name + ": " + text + "\n";
  expected +=
      "      pad: " + std::string(256, 'E') + "\n"
      "        plain: x\n";
  EXPECT_EQ(Pages(), expected);

  // The declaration first, and no white space of the document's own between elements.
  std::string xml = doc.Xml();
  EXPECT_EQ(xml.rfind("<?xml version=\"1.0\"?><zarn><seal sn=\"1234\"><key no=\"01234-3\"", 0), 0u) << xml;
  EXPECT_EQ(xml.find(">\n"), std::string::npos);
  EXPECT_EQ(xml.find("> <"), std::string::npos);
  EXPECT_NE(xml.find("<plain><![CDATA[x]]></plain>"), std::string::npos);
}

TEST_F(Writers, StatusAndPadTextsAreSafeInTheTreeAndTheFile) {
  Status s = StatusRecord(T1);
  std::memcpy(s.data() + 34, "<Li&\xE9\x01\0\0", 8);
  std::memcpy(s.data() + 70, "a\"b'c>\x80", 8);
  ASSERT_TRUE(doc.AddStatus(RawStatus(1).data(), s.data()));
  // Script sees the escaped text; the file holds it escaped once more.
  EXPECT_EQ(Select(doc, "//bat-type"), std::vector<std::string>{"&lt;Li&amp;\xC3\xA9 "});
  EXPECT_EQ(Select(doc, "//laser-id"), std::vector<std::string>{"a&quot;b&apos;c&gt;\xE2\x82\xAC"});
  std::string xml = doc.Xml();
  EXPECT_NE(xml.find("<bat-type>&amp;lt;Li&amp;amp;\xC3\xA9 </bat-type>"), std::string::npos) << xml;

  const std::string text("a]]>b\x01" "c\xE9", 8);
  std::vector<uint8_t> raw(64, 7);
  ASSERT_TRUE(doc.AddPad(raw.data(), 0, text));
  // Blanks in place of the section's end and the control character: the same length
  // in characters; the single-byte text becomes UTF-8.
  std::string cdata = doc.WithDom([](const pugi::xml_document& d) {
    return std::string(d.select_node("//pad/plain").node().first_child().value());
  });
  EXPECT_EQ(cdata, "a   b c\xC3\xA9");
}

TEST_F(Writers, SelectKeysetAnnouncesEachSealOnceAndNamesKeysByTheirTexts) {
  EXPECT_TRUE(doc.SelectKeyset(1234, KeyNumber, KeyTime));
  EXPECT_TRUE(doc.SelectKeyset(1234, KeyNumber + 1, KeyTime));
  EXPECT_TRUE(doc.SelectKeyset(99, 99u << 8, 0));
  EXPECT_TRUE(doc.SelectKeyset(0xFFFFFFFF, 0, 0));
  EXPECT_TRUE(doc.SelectKeyset(1234, KeyNumber, KeyTime + 65536));  // another second: another key
  EXPECT_EQ(window.SealsInDatabase(), (std::vector<uint32_t>{1234, 99, 0xFFFFFFFF}));
  EXPECT_EQ(Select(doc, "/zarn/seal/@sn"), (std::vector<std::string>{"1234", "99", "4294967295"}));
  EXPECT_EQ(Select(doc, "/zarn/seal[@sn='1234']/key/@no"), (std::vector<std::string>{"01234-3", "01234-4", "01234-3"}));
  // Key-set 0 with no time: all three attributes there, empty.
  EXPECT_EQ(Count(doc, "/zarn/seal[@sn='4294967295']/key[@no=''][@date=''][@time='']"), 1u);

  // Selecting again writes into the key already there.
  ASSERT_TRUE(doc.SelectKeyset(1234, KeyNumber + 1, KeyTime));
  ASSERT_TRUE(doc.AddStatus(RawStatus(1).data(), StatusRecord(T1).data()));
  EXPECT_EQ(Count(doc, "//key[@no='01234-4']/status"), 1u);
  EXPECT_EQ(Count(doc, "//key"), 5u);
}

// Each case: the pages written in order (raw fill byte, page), and the fill bytes of
// the pages left under the key, in order.
struct CopyCase {
  const char* name;
  std::vector<std::pair<uint8_t, Page>> written;
  std::vector<uint8_t> left;
};

TEST_F(Writers, KeepOneCopyOfAPage) {
  const Page empty = SealEventPage(3, {});
  const CopyCase cases[] = {
      {"the same page twice: the newer, at the end",
       {{1, SealEventPage(3, {T1})}, {2, SealEventPage(4, {T1})}, {3, SealEventPage(3, {T1, T2})}},
       {2, 3}},
      {"an entry-less copy goes for any later copy",
       {{1, empty}, {2, SealEventPage(3, {T2})}},
       {2}},
      {"slots 1 and 2 empty: only an entry-less copy goes",
       {{1, SealEventPage(3, {T1})}, {2, empty}, {3, SealEventPage(3, {0, 0, T2})}},
       {1, 3}},
      {"first slot empty: known by its second",
       {{1, SealEventPage(3, {0, T1})}, {2, SealEventPage(3, {0, T1, T2})}},
       {2}},
      {"another first entry is another page (the log went round)",
       {{1, SealEventPage(3, {T1})}, {2, SealEventPage(3, {T2})}},
       {1, 2}},
      {"another log with the same page number stays",
       {{1, SystemEventPage(3, {{T1, 1}})}, {2, SealEventPage(3, {T1})}, {3, SystemEventPage(3, {{T1, 2}})}},
       {2, 3}},
      {"health pages by their first day",
       {{1, HealthPage(40, {{300, 0, 0, 0, 0, 0, 0}})}, {2, HealthPage(40, {{301, 0, 0, 0, 0, 0, 0}})},
        {3, HealthPage(40, {{300, 1, 1, 1, 1, 1, 1}})}},
       {2, 3}},
  };
  for (const CopyCase& c : cases) {
    doc.NewDocument();
    ASSERT_TRUE(doc.SelectKeyset(1, 0x101, T1));
    for (const auto& [fill, page] : c.written) EXPECT_TRUE(doc.AddLogPage(Raw(fill).data(), page.data(), "")) << c.name;
    std::vector<uint8_t> left;
    for (const std::string& hex : Select(doc, "//key/page")) {
      uint8_t b = 0;
      HexToBytes(hex.substr(0, 2), &b, 1);
      left.push_back(b);
    }
    EXPECT_EQ(left, c.left) << c.name;
  }
}

// Each page writer writes its own log's view, whatever type byte the page carries.
TEST_F(Writers, EachPageWriterWritesTheViewOfItsOwnLog) {
  const Page health = HealthPage(32, {{2, 0xFB, 30, 36, 35, 2, 9}});
  const Page events = SealEventPage(1, {T1});
  ASSERT_TRUE(doc.AddSealEventPage(Raw(1).data(), health.data(), ""));
  ASSERT_TRUE(doc.AddSystemEventPage(Raw(2).data(), events.data(), ""));
  ASSERT_TRUE(doc.AddHealthPage(Raw(3).data(), events.data(), ""));
  EXPECT_EQ(Select(doc, "//page/plain/@log"), (std::vector<std::string>{"fo", "sys", "soh"}));
}

TEST_F(Writers, StatusReplacesTheOldOneAtTheEnd) {
  ASSERT_TRUE(doc.AddStatus(RawStatus(1).data(), StatusRecord(T1).data()));
  ASSERT_TRUE(doc.AddLogPage(Raw(2).data(), SealEventPage(1, {T1}).data(), ""));
  ASSERT_TRUE(doc.AddStatus(RawStatus(3).data(), StatusRecord(T2).data()));
  EXPECT_EQ(Count(doc, "//status"), 1u);
  EXPECT_EQ(Select(doc, "//key/*[last()]/plain/@time"), std::vector<std::string>{"11:30:15"});
  EXPECT_EQ(Select(doc, "//status")[0].substr(0, 4), "0303");
}

TEST_F(Writers, PadsOncePerContentAndNoneForAnEmptyText) {
  std::vector<uint8_t> a(128, 1), b(128, 2);
  EXPECT_TRUE(doc.AddPad(a.data(), 1, "first"));
  EXPECT_TRUE(doc.AddPad(a.data(), 1, "first again"));
  EXPECT_TRUE(doc.AddPad(b.data(), 1, ""));
  EXPECT_TRUE(doc.AddPad(b.data(), 0, "one page"));
  EXPECT_EQ(Count(doc, "//pad"), 2u);
  EXPECT_EQ(Select(doc, "//pad")[1], Hex(2, 64));
  EXPECT_FALSE(doc.AddPad(b.data(), MaxPadPages, "more pages than a seal has"));
}

TEST_F(Writers, PageOfNoLogAddsNothing) {
  Page odd = SealEventPage(1, {T1});
  odd[2] = 'X';
  EXPECT_FALSE(doc.AddLogPage(Raw(1).data(), odd.data(), AuthenticText));
  EXPECT_EQ(Count(doc, "//page"), 0u);
}

TEST_F(Writers, ModifiedFromTheFirstAttributeUntilSaved) {
  TempDir dir;
  EXPECT_TRUE(doc.Modified());
  EXPECT_EQ(window.Panel(), std::vector<std::string>{ModifiedPanelText});
  ASSERT_TRUE(doc.SaveToFile(dir.path / "a.xml", true));
  EXPECT_FALSE(doc.Modified());
  EXPECT_EQ(window.Panel(), (std::vector<std::string>{ModifiedPanelText, ""}));
  EXPECT_EQ(window.Busy(), (std::vector<bool>{true, false}));

  // A pad under the key that is there writes no attribute, and must still be saved.
  std::vector<uint8_t> raw(64, 9);
  ASSERT_TRUE(doc.AddPad(raw.data(), 0, "pad"));
  EXPECT_TRUE(doc.Modified());
  EXPECT_EQ(window.PanelNow(), ModifiedPanelText);
  ASSERT_TRUE(doc.SaveToFile(dir.path / "a.xml", true));
  // Selecting the key that is there writes nothing either.
  ASSERT_TRUE(doc.SelectKeyset(1234, KeyNumber, KeyTime));
  EXPECT_FALSE(doc.Modified());
  doc.NewDocument();
  EXPECT_EQ(window.PanelNow(), "");
}

TEST_F(Writers, SaveWholeOrWithoutViews) {
  TempDir dir;
  ASSERT_TRUE(doc.AddLogPage(Raw(1).data(), SealEventPage(1, {T1}).data(), AuthenticText));
  ASSERT_TRUE(doc.AddStatus(RawStatus(2).data(), StatusRecord(T1).data()));
  std::vector<uint8_t> raw(64, 3);
  ASSERT_TRUE(doc.AddPad(raw.data(), 0, "pad"));
  const std::string before = doc.Xml();
  ASSERT_TRUE(doc.SaveToFile(dir.path / "s.xml", true));
  ASSERT_TRUE(doc.SaveToFile(dir.path / "s.zrd", false));
  EXPECT_EQ(ReadFile(dir.path / "s.xml"), before);
  const std::string zrd = ReadFile(dir.path / "s.zrd");
  EXPECT_EQ(zrd.find("plain"), std::string::npos);
  EXPECT_EQ(zrd, "<?xml version=\"1.0\"?><zarn><seal sn=\"1234\"><key no=\"01234-3\" date=\"2024-05-06\" "
                 "time=\"07:08:09\"><page>" + Hex(1, 64) + "</page><status>" + Hex(2, 96) + "</status><pad>" +
                     Hex(3, 64) + "</pad></key></seal></zarn>");
  // The tree in memory keeps its views.
  EXPECT_EQ(doc.Xml(), before);
  // Nothing of the temporary files is left.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), {}), 2);
}

TEST_F(Writers, SaveKeepsTheOldFilesPermissionsAndLinks) {
  TempDir dir;
  const fs::path real = dir.path / "real.xml", link = dir.path / "link.xml";
  std::ofstream(real) << "old";
  ::chmod(real.c_str(), 0640);
  fs::create_symlink(real, link);
  ASSERT_TRUE(doc.SaveToFile(link, true));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadFile(real), doc.Xml());
  struct stat st {};
  ASSERT_EQ(::stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(Writers, SaveThroughALinkWhoseTargetIsNotThereYet) {
  TempDir dir;
  const fs::path link = dir.path / "link.xml";
  fs::create_symlink("sub/new.xml", link);
  fs::create_directory(dir.path / "sub");
  ASSERT_TRUE(doc.SaveToFile(link, true));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadFile(dir.path / "sub" / "new.xml"), doc.Xml());
}

TEST_F(Writers, ASaveIntoAFolderTheUserCannotWriteSaysSo) {
  TempDir dir;
  const fs::path folder = dir.path / "locked";
  fs::create_directory(folder);
  ::chmod(folder.c_str(), 0555);
  platform::MessageBoxRecorder boxes;
  {
    sim::WithoutFileOverride asAUser;
    EXPECT_FALSE(doc.SaveToFile(folder / "s.xml", true));
  }
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_EQ(boxes.Boxes()[0].text, "Save file failed.\rThe file \"" + (folder / "s.xml").string() +
                                       "\" could not be written: The folder \"" + folder.string() +
                                       "\" is not writable.");
  EXPECT_TRUE(fs::is_empty(folder));
  EXPECT_TRUE(doc.Modified());
}

TEST(ReplaceFile, AWriterThatThrowsLeavesNoTemporaryAndNoDescriptor) {
  TempDir dir;
  const fs::path file = dir.path / "f";
  std::ofstream(file) << "old";
  const auto descriptors = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
  const auto open = descriptors();
  EXPECT_THROW(platform::ReplaceFile(file, [](int fd) -> bool {
                 platform::WriteAll(fd, "new", 3);
                 throw std::bad_alloc();
               }),
               std::bad_alloc);
  EXPECT_EQ(descriptors(), open);
  EXPECT_EQ(Contents(dir.path), (std::map<std::string, std::string>{{"f", "old"}}));
}

// Every way a save can fail leaves the old file byte for byte and the document unsaved.
TEST_F(Writers, FailedSaveLeavesTheOldFile) {
  TempDir dir;
  // Enough pages that the file runs past the size limit below.
  for (uint8_t i = 0; i < 60; ++i) ASSERT_TRUE(doc.AddLogPage(Raw(i).data(), SealEventPage(i, {T1, T2}).data(), ""));
  const std::string old(5000, 'o');
  const fs::path file = dir.path / "old.xml";
  std::ofstream(file) << old;

  struct Case {
    const char* name;
    fs::path target;
    std::function<void()> arrange, restore;
    std::string reason;  // as the box gives it after the file's name
  };
  rlimit previous{};
  ::getrlimit(RLIMIT_FSIZE, &previous);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  std::ofstream(dir.path / "not-a-folder") << "file";
  fs::create_directory(dir.path / "folder.xml");
  const Case cases[] = {
      // A disk that fills up mid-way: writes past 4 KiB fail, as root too.
      {"disk full mid-way", file,
       [] {
         rlimit small{4096, RLIM_INFINITY};
         ::setrlimit(RLIMIT_FSIZE, &small);
       },
       [&] { ::setrlimit(RLIMIT_FSIZE, &previous); }, "File too large"},
      {"a file where the folder should be", dir.path / "not-a-folder" / "x.xml", [] {}, [] {}, "Not a directory"},
      {"a folder where the file should be", dir.path / "folder.xml", [] {}, [] {}, "Is a directory"},
      {"a folder that does not exist", dir.path / "nowhere" / "x.xml", [] {}, [] {}, "No such file or directory"},
      {"no name", "", [] {}, [] {}, ""},
  };
  for (const Case& c : cases) {
    platform::MessageBoxRecorder boxes;
    window.Clear();
    ASSERT_TRUE(doc.Modified());
    const auto before = Contents(dir.path);
    c.arrange();
    bool saved = doc.SaveToFile(c.target, true);
    c.restore();
    EXPECT_FALSE(saved) << c.name;
    EXPECT_EQ(Contents(dir.path), before) << c.name;  // whatever the save aimed at, and no temporary file
    EXPECT_EQ(ReadFile(file), old) << c.name;
    EXPECT_TRUE(doc.Modified()) << c.name;
    EXPECT_EQ(window.PanelNow(), ModifiedPanelText) << c.name;
    ASSERT_EQ(boxes.Boxes().size(), 1u) << c.name;
    EXPECT_EQ(boxes.Boxes()[0].text,
              c.reason.empty() ? "Save file failed."
                               : "Save file failed.\rThe file \"" + c.target.string() + "\" could not be written: " +
                                     c.reason + ".")
        << c.name;
    EXPECT_EQ(boxes.Boxes()[0].flags, platform::MB_OK | platform::MB_ICONERROR);
  }
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_TRUE(fs::is_directory(dir.path / "folder.xml"));
  // Once the disk has room again the same save works.
  EXPECT_TRUE(doc.SaveToFile(file, true));
  EXPECT_EQ(ReadFile(file), doc.Xml());
}

// A worker thread writes pages while the window thread reads the tree: every read sees
// a whole tree.
TEST_F(Writers, ReadingWhileAWorkerWrites) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    // Pages read again replace their earlier copies, so nodes go while the reader walks.
    for (int i = 0; i < 3000; ++i) {
      uint8_t number = uint8_t(i % 50);
      doc.SelectKeyset(uint32_t(1000 + i % 7), uint32_t(1000 + i % 7) << 8, T1);
      doc.AddLogPage(Raw(uint8_t(i)).data(), SealEventPage(number, {T1 + number, T2}).data(), AuthenticText);
      doc.AddStatus(RawStatus(uint8_t(i)).data(), StatusRecord(T1).data());
    }
    done = true;
  });
  int reads = 0;
  while (!done) {
    pugi::xml_document copy;
    ASSERT_TRUE(copy.load_string(doc.Xml().c_str())) << "read " << reads;
    Describe(doc);
    ++reads;
  }
  worker.join();
  EXPECT_GT(reads, 0);
  EXPECT_EQ(Count(doc, "//page"), 350u);  // each seal's pages once
  EXPECT_EQ(Count(doc, "//status"), 7u);
}
