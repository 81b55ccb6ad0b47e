#include "setup_trees.h"

#include <QApplication>
#include <QMainWindow>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTest>
#include <QTreeWidgetItemIterator>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>

#include "com_device.h"
#include "file_traps.h"
#include "message_box.h"
#include "pseudo_terminal.h"
#include "registry.h"
#include "shown_text.h"
#include "without_file_override.h"

namespace fs = std::filesystem;

namespace {

QStringList Texts(const QTreeWidgetItem* node) {
  QStringList texts;
  for (int i = 0; i < node->childCount(); ++i) texts << node->child(i)->text(0);
  return texts;
}

TTreeNode* ChildNamed(const TTreeNode* node, const QString& text) {
  for (int i = 0; i < node->childCount(); ++i)
    if (node->child(i)->text(0) == text) return node->Child(i);
  return nullptr;
}

class SetupTreesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zarn-setup-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ::setenv(platform::RegistryDirVariable, (dir_ + "/registry").c_str(), 1);
    // COM1 and COM2 exist; COM3's device does not.
    map_ = std::make_unique<sim::ScopedPortMap>(std::vector<sim::ScopedPortMap::Entry>{
        {1, com1_.Path()}, {2, com2_.Path()}, {3, dir_ + "/no-such-tty"}});
    Start();
  }
  void TearDown() override {
    trees_.reset();
    window_.reset();
    map_.reset();
    ::unsetenv(platform::RegistryDirVariable);
    fs::remove_all(dir_);
  }

  // A program start: a window with both trees, loaded from the registry.
  void Start() {
    trees_.reset();
    window_ = std::make_unique<QMainWindow>();
    setupTree_ = new QTreeWidget(window_.get());
    groupTree_ = new QTreeWidget(window_.get());
    window_->setCentralWidget(setupTree_);
    trees_ = std::make_unique<TSetupTrees>(setupTree_, groupTree_);
    options_ = ReaderOptions{};
    trees_->LoadSetup(window_.get(), options_);
  }
  // A program end and the next start.
  void Restart() {
    ASSERT_TRUE(trees_->SaveSetup(window_.get(), options_));
    Start();
  }
  TTreeNode* Port(const QString& text) { return ChildNamed(trees_->RootNode(), text); }
  TTreeNode* Group(const QString& name) {
    for (int i = 0; i < groupTree_->topLevelItemCount(); ++i)
      if (groupTree_->topLevelItem(i)->text(0) == name) return static_cast<TTreeNode*>(groupTree_->topLevelItem(i));
    return nullptr;
  }
  TTreeNode* AddGroupWith(const QString& name, std::initializer_list<TTreeNode*> seals) {
    TTreeNode* group = trees_->AddGroup(nullptr, name);
    for (TTreeNode* seal : seals) {
      auto* entry = TSetupTrees::AddTreeNode(groupTree_, seal->text(0), group, SealImage);
      entry->sealNode = seal;
    }
    return group;
  }

  std::string dir_;
  sim::PseudoTerminal com1_, com2_;
  std::unique_ptr<sim::ScopedPortMap> map_;
  std::unique_ptr<QMainWindow> window_;
  QTreeWidget* setupTree_ = nullptr;
  QTreeWidget* groupTree_ = nullptr;
  std::unique_ptr<TSetupTrees> trees_;
  ReaderOptions options_;
};

TEST_F(SetupTreesTest, EmptyRegistryGivesPresentPortsAllSealsAndTheDefaultPlacement) {
  EXPECT_EQ(setupTree_->topLevelItemCount(), 1);
  EXPECT_EQ(trees_->RootNode()->text(0), "This Computer");
  EXPECT_EQ(Texts(trees_->RootNode()), (QStringList{"COM1", "COM2"}));
  EXPECT_EQ(groupTree_->topLevelItemCount(), 1);
  EXPECT_EQ(trees_->AllSealsNode()->text(0), "All Seals");
  EXPECT_EQ(window_->frameGeometry(), QRect(0, 0, 640, 460));
  EXPECT_TRUE(options_.showDialog);
  EXPECT_FALSE(options_.expertMode);
}

TEST_F(SetupTreesTest, APortThatAnotherProgramHoldsIsListed) {
  platform::ComDevice holder;
  ASSERT_EQ(holder.Open("COM2"), 0);
  Start();
  EXPECT_EQ(Texts(trees_->RootNode()), (QStringList{"COM1", "COM2"}));
}

TEST_F(SetupTreesTest, AddingAKnownNumberMovesItsNodeAndKeepsOneEntry) {
  TTreeNode* seal = trees_->AddSeal(123, Port("COM2"));
  seal->SetStateIndex(LoggedOnStateImage);
  EXPECT_EQ(trees_->AddSeal(123, Port("COM1")), seal);
  EXPECT_EQ(seal->ParentNode(), Port("COM1"));
  EXPECT_EQ(seal->StateIndex(), LoggedOnStateImage);
  EXPECT_EQ(Texts(Port("COM2")), QStringList{});
  EXPECT_EQ(Texts(trees_->AllSealsNode()), QStringList{"ZARN S/N 123"});

  trees_->AddSeal(0, Port("COM1"));
  trees_->AddSeal(0, Port("COM1"));
  EXPECT_EQ(Texts(Port("COM1")), (QStringList{"Any Seal", "Any Seal", "ZARN S/N 123"}));
  EXPECT_EQ(trees_->AllSealsNode()->childCount(), 1);
  EXPECT_EQ(TSetupTrees::CountSealNodes(trees_->RootNode()), 3);
  EXPECT_EQ(trees_->FindSealNode(0), nullptr);
}

TEST_F(SetupTreesTest, SetupGroupsOptionsAndPlacementSurviveARestart) {
  trees_->AddSeal(17, Port("COM1"));
  trees_->AddSeal(0, Port("COM1"));  // an "Any Seal" of a COM port is not restored
  TTreeNode* net = trees_->AddInterface("10.0.0.17");
  trees_->AddSeal(0, net);
  TTreeNode* s5 = trees_->AddSeal(5, net);
  AddGroupWith("North", {s5, trees_->FindSealNode(17)});
  AddGroupWith("Empty", {});
  options_ = {"JS", "AB", false, true};
  window_->setGeometry(30, 40, 500, 300);
  const QRect frame = window_->frameGeometry();

  Restart();
  EXPECT_EQ(Texts(Port("COM1")), QStringList{"ZARN S/N 17"});
  EXPECT_EQ(Texts(Port("10.0.0.17")), (QStringList{"Any Seal", "ZARN S/N 5"}));
  EXPECT_EQ(Texts(Group("North")), (QStringList{"ZARN S/N 5", "ZARN S/N 17"}));
  EXPECT_EQ(Group("North")->Child(0)->sealNode, trees_->FindSealNode(5));
  ASSERT_NE(Group("Empty"), nullptr);
  EXPECT_EQ(Texts(trees_->AllSealsNode()), (QStringList{"ZARN S/N 17", "ZARN S/N 5"}));
  EXPECT_EQ(options_.operator1, "JS");
  EXPECT_EQ(options_.operator2, "AB");
  EXPECT_FALSE(options_.showDialog);
  EXPECT_TRUE(options_.expertMode);
  EXPECT_EQ(window_->frameGeometry(), frame);  // the same outer rectangle: no creeping
}

TEST_F(SetupTreesTest, AGroupNameWithABackslashStaysOneGroup) {
  TTreeNode* seal = trees_->AddSeal(3, Port("COM1"));
  AddGroupWith("North\\South", {seal});
  Restart();
  ASSERT_EQ(groupTree_->topLevelItemCount(), 2);
  ASSERT_NE(Group("North\\South"), nullptr);
  EXPECT_EQ(Group("North\\South")->childCount(), 1);
  Restart();
  EXPECT_EQ(Texts(Group("North\\South")), QStringList{"ZARN S/N 3"});
}

TEST_F(SetupTreesTest, InterfacesAreNumberedInTreeOrderWithoutGaps) {
  trees_->AddInterface("10.0.0.3");
  TTreeNode* second = trees_->AddInterface("10.0.0.2");
  trees_->AddInterface("10.0.0.1");
  platform::MessageBoxRecorder boxes;
  trees_->RemoveInterface(second);  // its "Any Seal" counts: asked, and Yes
  EXPECT_EQ(boxes.Boxes().size(), 1u);
  ASSERT_TRUE(trees_->SaveSetup(window_.get(), options_));

  platform::Registry registry;
  ASSERT_TRUE(registry.OpenKeyReadOnly(std::string("\\") + SettingsKeyPath + "\\Setup"));
  EXPECT_EQ(registry.GetKeyNames(), (std::vector<std::string>{"COM1", "COM2", "Interface1", "Interface2"}));
  ASSERT_TRUE(registry.OpenKeyReadOnly("Interface2"));
  EXPECT_EQ(registry.ReadString("Address"), "10.0.0.3");
}

TEST_F(SetupTreesTest, AGroupValueNamingNoSetupSealIsDropped) {
  {
    platform::Registry registry;
    const std::string settings = std::string("\\") + SettingsKeyPath;
    ASSERT_TRUE(registry.OpenKey(settings + "\\Setup\\COM2", true));
    ASSERT_TRUE(registry.WriteInteger("Seal1", 7));
    ASSERT_TRUE(registry.OpenKey(settings + "\\Groups\\Pair", true));
    ASSERT_TRUE(registry.WriteInteger("Seal1", 5));
    ASSERT_TRUE(registry.WriteInteger("Seal2", 7));
    ASSERT_TRUE(registry.WriteString("Seal3", "9"));  // ends the list
    ASSERT_TRUE(registry.WriteInteger("Seal4", 7));
    ASSERT_TRUE(registry.OpenKey(settings + "\\Setup\\COM3", true));  // an absent port
    ASSERT_TRUE(registry.WriteInteger("Seal1", 8));
  }
  Start();
  EXPECT_EQ(Texts(Group("Pair")), QStringList{"ZARN S/N 7"});
  EXPECT_EQ(trees_->FindSealNode(8), nullptr);
  Restart();
  platform::Registry registry;
  EXPECT_FALSE(registry.KeyExists(std::string("\\") + SettingsKeyPath + "\\Setup\\COM3"));
  ASSERT_TRUE(registry.OpenKeyReadOnly(std::string("\\") + SettingsKeyPath + "\\Groups\\Pair"));
  EXPECT_EQ(registry.GetValueNames(), std::vector<std::string>{"Seal1"});
}

TEST_F(SetupTreesTest, RemovalsAskTheirQuestionsAndNoStops) {
  TTreeNode* net = trees_->AddInterface("10.0.0.9");
  TTreeNode* s1 = trees_->AddSeal(1, net);
  TTreeNode* s2 = trees_->AddSeal(2, Port("COM1"));
  AddGroupWith("A", {s1, s2});
  AddGroupWith("B", {s1});

  platform::MessageBoxRecorder boxes;
  boxes.Answer(platform::IDNO);
  trees_->RemoveInterface(net);
  boxes.Answer(platform::IDNO);
  trees_->RemoveSeals(s2);
  boxes.Answer(platform::IDNO);
  trees_->RemoveSeals(Port("COM1"));
  boxes.Answer(platform::IDNO);
  trees_->RemoveSeals(trees_->RootNode());
  boxes.Answer(platform::IDNO);
  trees_->RemoveGroup(Group("B"));
  auto shown = boxes.Boxes();
  ASSERT_EQ(shown.size(), 5u);
  EXPECT_EQ(shown[0].text, "Remove Network Interface and all connected seals?");
  EXPECT_EQ(shown[1].text, "Remove ZARN S/N 2?");
  EXPECT_EQ(shown[2].text, "Remove all seals from COM1?");
  EXPECT_EQ(shown[3].text, "Remove all seals from setup?");
  EXPECT_EQ(shown[4].text, "Remove \"B\"?");
  EXPECT_EQ(shown[0].flags & platform::MB_TYPEMASK, platform::MB_YESNO);
  EXPECT_EQ(TSetupTrees::CountSealNodes(trees_->RootNode()), 3);

  trees_->RemoveInterface(net);  // the default answer, Yes
  EXPECT_EQ(Texts(Group("A")), QStringList{"ZARN S/N 2"});
  EXPECT_EQ(Texts(Group("B")), QStringList{});
  EXPECT_EQ(Texts(trees_->AllSealsNode()), QStringList{"ZARN S/N 2"});
  trees_->RemoveSeals(trees_->RootNode());
  EXPECT_EQ(trees_->AllSealsNode()->childCount(), 0);
  trees_->RemoveGroup(Group("B"));
  EXPECT_EQ(Group("B"), nullptr);
  trees_->RemoveGroup(trees_->AllSealsNode());  // never removed
  EXPECT_EQ(groupTree_->topLevelItemCount(), 2);
}

TEST_F(SetupTreesTest, ASearchRemovesWithoutAskingOnlyTheSealsItDidNotFindAgain) {
  TTreeNode* net = trees_->AddInterface("10.0.0.9");
  TTreeNode* s1 = trees_->AddSeal(1, Port("COM1"));
  TTreeNode* s2 = trees_->AddSeal(2, Port("COM1"));
  TTreeNode* s3 = trees_->AddSeal(3, Port("COM1"));
  TTreeNode* s4 = trees_->AddSeal(4, net);
  TTreeNode* s5 = trees_->AddSeal(5, Port("COM2"));
  AddGroupWith("A", {s3, s4, s1, s5, s2});
  const ComPtr<TZarnReaderSeal> first = s1->seal;
  const auto replaced = trees_->SealsOf(trees_->RootNode());
  ASSERT_EQ(replaced.size(), 6u);  // "Any Seal" of the interface too
  trees_->DeleteSealNode(s2);  // by the operator while the search ran
  platform::MessageBoxRecorder boxes;
  trees_->RemoveSealsNotFound(replaced, {5, 2, 1, 4});
  EXPECT_TRUE(boxes.Boxes().empty());
  EXPECT_EQ(Texts(Group("A")), (QStringList{"ZARN S/N 4", "ZARN S/N 1", "ZARN S/N 5"}));
  EXPECT_EQ(Texts(trees_->AllSealsNode()), (QStringList{"ZARN S/N 1", "ZARN S/N 4", "ZARN S/N 5"}));
  EXPECT_EQ(Texts(net), (QStringList{"Any Seal", "ZARN S/N 4"}));  // never found, never removed
  ASSERT_NE(trees_->FindSealNode(1), nullptr);
  EXPECT_EQ(trees_->FindSealNode(1)->seal.Get(), first.Get());
}

// The view moves its current item while a row goes: the slots it calls then find whole
// nodes only, in the setup tree and the group tree. The window may also go before the trees.
TEST_F(SetupTreesTest, RemovalsShowTheCurrentItemSlotsOnlyWholeNodes) {
  TTreeNode* seal = trees_->AddSeal(5, Port("COM1"));
  TTreeNode* group = AddGroupWith("B", {seal});
  int changes = 0, halfGone = 0;
  auto check = [&](QTreeWidgetItem* current) {
    ++changes;
    if (!current) return;
    for (QTreeWidgetItemIterator it(current->treeWidget()); *it; ++it) halfGone += !dynamic_cast<TTreeNode*>(*it);
  };
  for (QTreeWidget* tree : {setupTree_, groupTree_}) QObject::connect(tree, &QTreeWidget::currentItemChanged, check);
  setupTree_->setCurrentItem(seal);
  groupTree_->setCurrentItem(group);

  platform::MessageBoxRecorder boxes;  // the default answer, Yes
  trees_->RemoveSeals(seal);
  trees_->RemoveGroup(group);
  EXPECT_EQ(changes, 4);
  EXPECT_EQ(halfGone, 0);
  EXPECT_EQ(TSetupTrees::CountSealNodes(Port("COM1")), 0);
  window_.reset();  // the viewport's last events still reach the drag filter
}

TEST_F(SetupTreesTest, ARemovedSealStaysValidForTheOperationThatHoldsIt) {
  TTreeNode* net = trees_->AddInterface("10.0.0.9");
  std::shared_ptr<TPort> port = net->port;
  std::shared_ptr<TSeal> seal = trees_->AddSeal(44, net)->seal->NativeSeal();
  platform::MessageBoxRecorder boxes;
  trees_->RemoveInterface(net);
  EXPECT_EQ(seal->Address(), 44u);
  EXPECT_EQ(static_cast<TEthernetPort*>(port.get())->Address(), "10.0.0.9");
  EXPECT_EQ(port.use_count(), 1);
}

TEST_F(SetupTreesTest, ExportAndImportRoundTripAndABadFileChangesNothing) {
  trees_->AddSeal(31, Port("COM2"));
  AddGroupWith("G", {trees_->FindSealNode(31)});
  options_.operator1 = "XY";
  const QString file = QString::fromStdString(dir_ + "/setup.zrn");
  ASSERT_TRUE(trees_->ExportSetup(file, window_.get(), options_));
  ASSERT_TRUE(trees_->ExportSetup(file, window_.get(), options_));  // over an existing file

  trees_->AddSeal(32, Port("COM1"));
  options_.operator1 = "ZZ";
  ASSERT_TRUE(trees_->SaveSetup(window_.get(), options_));

  const std::string damaged = dir_ + "/damaged.zrn", hive = dir_ + "/hive.zrn";
  {
    std::ifstream in(file.toStdString());
    std::string text((std::istreambuf_iterator<char>(in)), {});
    std::ofstream(damaged) << text.substr(0, text.size() / 2) << "[Software\\x\n\"v=oops\n";
    std::ofstream(hive, std::ios::binary) << std::string("regf\x01\0\0\0", 8) << std::string(4096, '\0');
  }
  platform::MessageBoxRecorder boxes;
  for (const std::string& bad : {damaged, hive}) {
    EXPECT_FALSE(trees_->ImportSetup(QString::fromStdString(bad), window_.get(), options_));
    EXPECT_NE(trees_->FindSealNode(32), nullptr);
  }
  ASSERT_EQ(boxes.Boxes().size(), 2u);
  EXPECT_EQ(boxes.Boxes()[1].text, "Import operation failed");
  Start();
  EXPECT_NE(trees_->FindSealNode(32), nullptr);  // the registry kept the old setup too
  EXPECT_EQ(options_.operator1, "ZZ");

  ASSERT_TRUE(trees_->ImportSetup(file, window_.get(), options_));
  EXPECT_EQ(trees_->FindSealNode(32), nullptr);
  EXPECT_EQ(trees_->FindSealNode(31)->ParentNode(), Port("COM2"));
  EXPECT_EQ(Texts(Group("G")), QStringList{"ZARN S/N 31"});
  EXPECT_EQ(options_.operator1, "XY");
}

// What is no setup file to read is refused at once with the import's message and changes
// nothing: a FIFO would hold the window until someone wrote to it; a file far larger than
// any setup is not read at all.
TEST_F(SetupTreesTest, ImportRefusesWhatIsNoFileOrTooLargeAtOnce) {
  trees_->AddSeal(31, Port("COM2"));
  const std::string good = dir_ + "/setup.zrn", huge = dir_ + "/huge.zrn";
  ASSERT_TRUE(trees_->ExportSetup(QString::fromStdString(good), window_.get(), options_));
  fs::copy_file(good, huge);
  fs::resize_file(huge, 3ull << 30);  // sparse
  trees_->AddSeal(32, Port("COM1"));
  sim::Fifo fifo(dir_ + "/fifo.zrn");
  platform::MessageBoxRecorder boxes;
  for (const std::string& path : {fifo.Path(), std::string("/dev/zero"), dir_, huge}) {
    boxes.Clear();
    const long long peak = sim::PeakMemory();
    EXPECT_TRUE(fifo.ReturnsAtOnce(
        [&] { EXPECT_FALSE(trees_->ImportSetup(QString::fromStdString(path), window_.get(), options_)) << path; }))
        << path;
    EXPECT_LT(sim::PeakMemory() - peak, 64ll << 20) << path;
    ASSERT_EQ(boxes.Boxes().size(), 1u) << path;
    EXPECT_EQ(boxes.Boxes()[0].text, "Import operation failed");
    EXPECT_NE(trees_->FindSealNode(32), nullptr) << path;
  }
  EXPECT_TRUE(trees_->ImportSetup(QString::fromStdString(good), window_.get(), options_));
  EXPECT_EQ(trees_->FindSealNode(32), nullptr);
  EXPECT_NE(trees_->FindSealNode(31), nullptr);
}

TEST_F(SetupTreesTest, ExportIntoAMissingFolderFailsWithItsMessage) {
  platform::MessageBoxRecorder boxes;
  EXPECT_FALSE(trees_->ExportSetup(QString::fromStdString(dir_ + "/missing/setup.zrn"), window_.get(), options_));
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_EQ(boxes.Boxes()[0].text, "Export operation failed");
}

// Every entry of a folder but the registry's and what it holds (a link's entry holds "-> "
// and where it leads).
std::map<std::string, std::string> Contents(const std::string& folder) {
  std::map<std::string, std::string> all;
  for (const auto& e : fs::directory_iterator(folder)) {
    std::ifstream in(e.path());
    all[e.path().filename()] = e.is_symlink()     ? "-> " + fs::read_symlink(e.path()).string()
                               : e.is_directory() ? "/"
                                                  : std::string(std::istreambuf_iterator<char>(in), {});
  }
  all.erase("registry");
  return all;
}

// The setup file alone is replaced: what lies beside it stays, and a link to it stays a link.
TEST_F(SetupTreesTest, ExportReplacesTheFileALinkLeadsToAndNothingBesideIt) {
  trees_->AddSeal(31, Port("COM2"));
  const std::string shared = dir_ + "/shared", link = dir_ + "/setup.zrn";
  fs::create_directory(shared);
  std::ofstream(shared + "/setup.zrn") << "old";
  fs::create_symlink("shared/setup.zrn", link);
  std::ofstream(link + ".new") << "someone else's";
  std::ofstream(shared + "/setup.zrn.new") << "someone else's";
  ASSERT_TRUE(trees_->ExportSetup(QString::fromStdString(link), window_.get(), options_));
  std::map<std::string, std::string> there = Contents(shared);
  EXPECT_EQ(Contents(dir_), (std::map<std::string, std::string>{
                      {"setup.zrn", "-> shared/setup.zrn"}, {"setup.zrn.new", "someone else's"}, {"shared", "/"}}));
  ASSERT_EQ(there.size(), 2u);
  EXPECT_EQ(there["setup.zrn.new"], "someone else's");
  EXPECT_EQ(there["setup.zrn"].rfind("ZARN saved key 1", 0), 0u) << there["setup.zrn"];
  trees_->AddSeal(32, Port("COM1"));
  ASSERT_TRUE(trees_->ImportSetup(QString::fromStdString(link), window_.get(), options_));
  EXPECT_NE(trees_->FindSealNode(31), nullptr);
  EXPECT_EQ(trees_->FindSealNode(32), nullptr);
}

// An export that cannot write its file says so and leaves every file as it was, the one
// named and the one a link leads to alike.
TEST_F(SetupTreesTest, AFailedExportLeavesTheOldFile) {
  const std::string locked = dir_ + "/locked", link = dir_ + "/setup.zrn";
  fs::create_directory(locked);
  std::ofstream(locked + "/setup.zrn") << "old";
  std::ofstream(locked + "/setup.zrn.new") << "someone else's";
  fs::create_symlink("locked/setup.zrn", link);
  ::chmod(locked.c_str(), 0555);
  for (const std::string& file : {locked + "/setup.zrn", link}) {
    SCOPED_TRACE(file);
    const auto here = Contents(dir_), there = Contents(locked);
    platform::MessageBoxRecorder boxes;
    bool exported;
    {
      sim::WithoutFileOverride asAUser;
      exported = trees_->ExportSetup(QString::fromStdString(file), window_.get(), options_);
    }
    EXPECT_FALSE(exported);
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].text, "Export operation failed");
    EXPECT_EQ(Contents(locked), there);
    EXPECT_EQ(Contents(dir_), here);
  }
  ::chmod(locked.c_str(), 0755);
}

// In a pane of the main window's width both trees scroll to a long seal caption, three
// levels deep with its pictures, rather than cut it short; a click right of a short
// caption still hits its row.
TEST_F(SetupTreesTest, SealCaptionsShowWholeAtThePanesWidth) {
  constexpr int PaneWidth = 200;
  TTreeNode* longest = trees_->AddSeal(4294967295u, Port("COM1"));
  TTreeNode* shortest = trees_->AddSeal(7, Port("COM2"));
  TTreeNode* north = AddGroupWith("North", {longest, shortest});
  window_->resize(PaneWidth, 300);
  groupTree_->setGeometry(0, 0, PaneWidth, 300);
  window_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
  setupTree_->expandAll();
  groupTree_->expandAll();
  QApplication::processEvents();
  const std::pair<QTreeWidget*, QTreeWidgetItem*> shown[] = {
      {setupTree_, longest}, {setupTree_, shortest}, {groupTree_, trees_->AllSealsNode()->child(0)},
      {groupTree_, north->child(0)}, {groupTree_, north->child(1)}};
  for (const auto& [tree, node] : shown)
    EXPECT_TRUE(ShowsWholeText(tree, node)) << (tree == setupTree_ ? "setup tree: " : "group tree: ") << node->text(0).toStdString();
  for (QTreeWidget* tree : {setupTree_, groupTree_}) EXPECT_GE(tree->columnWidth(0), tree->viewport()->width());
  const QPoint rightOfShortest(setupTree_->viewport()->width() - 2, setupTree_->visualItemRect(shortest).center().y());
  EXPECT_EQ(setupTree_->itemAt(rightOfShortest), shortest);
  // As the pane shows them, and scrolled to their ends.
  for (const auto& [tree, name] : {std::pair{setupTree_, "setup_tree"}, std::pair{groupTree_, "group_tree"}}) {
    tree->grab().save(QString(BUILD_DIR "/%1_seal_numbers.png").arg(name));
    tree->horizontalScrollBar()->setValue(tree->horizontalScrollBar()->maximum());
    tree->grab().save(QString(BUILD_DIR "/%1_seal_numbers_scrolled.png").arg(name));
  }
}

TEST_F(SetupTreesTest, APlacementWhollyOffEveryScreenMovesOntoThePrimaryScreen) {
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  for (bool offScreen : {true, false}) {
    window_->setGeometry(offScreen ? screen.right() + 100 : screen.right() - 100, 50, 400, 300);
    const QRect frame = window_->frameGeometry();
    Restart();
    EXPECT_EQ(window_->frameGeometry(), offScreen ? QRect(screen.topLeft(), frame.size()) : frame);
  }
}

TEST_F(SetupTreesTest, DraggingASealMovesItOnlyOntoAPort) {
  trees_->AddInterface("10.0.0.5");
  TTreeNode* seal = trees_->AddSeal(9, Port("COM1"));
  setupTree_->expandAll();
  window_->resize(400, 400);
  window_->show();
  QWidget* viewport = setupTree_->viewport();
  auto at = [&](QTreeWidgetItem* node) { return setupTree_->visualItemRect(node).center(); };
  auto send = [&](QEvent::Type type, QPoint pos, Qt::MouseButtons buttons) {
    QMouseEvent event(type, pos, viewport->mapToGlobal(pos),
                      type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(viewport, &event);
  };
  int clicked = 0;
  QObject::connect(trees_.get(), &TSetupTrees::SealNodeClicked, [&](TTreeNode* node) { clicked += node == seal; });

  // Over the root, over a seal, over itself, then dropped on the root: nothing moves.
  TTreeNode* any = Port("10.0.0.5")->Child(0);
  send(QEvent::MouseButtonPress, at(seal), Qt::LeftButton);
  send(QEvent::MouseMove, at(trees_->RootNode()), Qt::LeftButton);
  EXPECT_EQ(viewport->cursor().shape(), Qt::ForbiddenCursor);
  send(QEvent::MouseMove, at(any), Qt::LeftButton);
  EXPECT_EQ(viewport->cursor().shape(), Qt::ForbiddenCursor);
  send(QEvent::MouseMove, at(Port("COM2")), Qt::LeftButton);
  EXPECT_EQ(viewport->cursor().shape(), Qt::DragMoveCursor);
  send(QEvent::MouseMove, at(seal), Qt::LeftButton);
  EXPECT_EQ(viewport->cursor().shape(), Qt::ArrowCursor);
  send(QEvent::MouseButtonRelease, at(trees_->RootNode()), Qt::NoButton);
  EXPECT_EQ(seal->ParentNode(), Port("COM1"));
  EXPECT_EQ(viewport->cursor().shape(), Qt::ArrowCursor);

  // A click opens its page; a drop on another port moves it with its state.
  send(QEvent::MouseButtonPress, at(seal), Qt::LeftButton);
  send(QEvent::MouseButtonRelease, at(seal), Qt::NoButton);
  EXPECT_EQ(clicked, 1);
  seal->SetStateIndex(FoundStateImage);
  send(QEvent::MouseButtonPress, at(seal), Qt::LeftButton);
  send(QEvent::MouseButtonRelease, at(Port("10.0.0.5")), Qt::NoButton);
  EXPECT_EQ(seal->ParentNode(), Port("10.0.0.5"));
  EXPECT_EQ(seal->StateIndex(), FoundStateImage);
  EXPECT_EQ(Texts(trees_->AllSealsNode()), QStringList{"ZARN S/N 9"});

  // A drag that starts on a port leaves the cursor alone.
  send(QEvent::MouseButtonPress, at(Port("COM2")), Qt::LeftButton);
  send(QEvent::MouseMove, at(trees_->RootNode()), Qt::LeftButton);
  EXPECT_EQ(viewport->cursor().shape(), Qt::ArrowCursor);
  send(QEvent::MouseButtonRelease, at(trees_->RootNode()), Qt::NoButton);
  window_->grab().save(BUILD_DIR "/setup_trees.png");
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
