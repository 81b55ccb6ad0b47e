// The token dialogs as an operator uses them: clicks and keys on Qt's offscreen platform,
// simulated tokens on pseudo-terminals, an SQLite key database. Each dialog leaves a
// screenshot in the test's folder.
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <functional>
#include <gtest/gtest.h>

#include "add_keys_dialog.h"
#include "crypto_primitives.h"
#include "keydb_test_support.h"
#include "keyset_datasource.h"
#include "keyset_time.h"
#include "message_box.h"
#include "password_dialogs.h"
#include "security_dialog.h"
#include "token_dialog.h"
#include "token_sim.h"
#include "token_window.h"
#include "unicode.h"

using namespace std::chrono;

namespace {

const keydb_test::Backend Sqlite{"Sqlite", false};
const TokenTimings Fast{300, 300, 2000};

template <class W>
W* Child(QWidget* dialog, ControlId id) {
  W* w = dialog->findChild<W*>(id.name);
  EXPECT_NE(w, nullptr) << id.name;
  return w;
}
template <class W>
W* Child(QWidget* dialog, const char* name) {
  W* w = dialog->findChild<W*>(name);
  EXPECT_NE(w, nullptr) << name;
  return w;
}

void Click(QWidget* dialog, ControlId id) { QTest::mouseClick(Child<QPushButton>(dialog, id), Qt::LeftButton); }

void Type(QWidget* dialog, ControlId id, const QString& text) {
  auto* edit = Child<QLineEdit>(dialog, id);
  edit->clear();
  QTest::keyClicks(edit, text);
}

void Screenshot(QWidget* dialog, const char* name) {
  QApplication::processEvents();
  ASSERT_TRUE(dialog->grab().save(QString(BUILD_DIR "/%1.png").arg(name)));
}

// Runs the steps on the next modal dialog of that type once it is open, from inside its own loop.
template <class T>
void WhenOpen(std::function<void(T*)> steps) {
  auto deadline = steady_clock::now() + seconds(10);
  auto poll = std::make_shared<std::function<void()>>();
  *poll = [=] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* dialog = qobject_cast<T*>(w); dialog && dialog->isVisible() && dialog->isModal()) {
        QPointer<T> open = dialog;
        steps(dialog);
        // Steps that stopped half-way must not leave the test hanging in the dialog.
        QTimer::singleShot(5000, [open] {
          if (open && open->isVisible()) {
            ADD_FAILURE() << "the dialog stayed open";
            open->done(0);
          }
        });
        return;
      }
    if (steady_clock::now() < deadline) QTimer::singleShot(10, *poll);
    else ADD_FAILURE() << "no modal dialog opened";
  };
  QTimer::singleShot(0, *poll);
}

std::wstring Name(uint32_t number, uint32_t time) {
  wchar_t name[KeysetNameSize];
  FormatKeysetName(name, KeysetNameSize, number, time);
  return name;
}

struct DialogTest : ::testing::Test {
  sim::TokenRack rack;
  platform::MessageBoxRecorder boxes;
  KeyDatabaseSource database{keydb_test::DataSource(Sqlite), keydb_test::User(Sqlite), keydb_test::Password(Sqlite),
                             true};
  std::vector<std::unique_ptr<CToken>> tokens;  // outlive the window, as the scan's do
  CTokenWindow window{database};
  HWND handle = window.Create();

  void SetUp() override { keydb_test::CreateDatabase(Sqlite); }
  void TearDown() override { window.Destroy(); }

  CToken* Token(unsigned port, uint32_t serial, std::vector<sim::SimKeyset> keysets = {}) {
    rack.Plug(port, serial).SetKeysets(std::move(keysets));
    tokens.push_back(std::make_unique<CToken>(port, Fast));
    EXPECT_TRUE(tokens.back()->Ping());
    EXPECT_TRUE(tokens.back()->ReadKeysets());
    return tokens.back().get();
  }
  CTokenDialog* Announce(CToken* token) {
    SendMessage(handle, WM_TOKEN_ARRIVED, 0, LPARAM(token));
    return token->Dialog();
  }
  // A boot-loader password of zeros in the token's row (made first unless it is there): a
  // row opens the security dialog only with one.
  void StoreZeroBsl(uint32_t serial, bool rowThere = false) {
    CKeysetDatasource db(database.dataSource.c_str(), database.user.c_str(), database.password.c_str());
    const uint8_t bsl[32] = {};
    ASSERT_TRUE((rowThere || db.InsertToken(serial)) && db.UpdateBsl(serial, bsl));
  }
  std::vector<std::string> Texts() {
    std::vector<std::string> texts;
    for (const auto& box : boxes.Boxes()) texts.push_back(box.text);
    return texts;
  }
  std::vector<uint16_t> Commands(sim::TokenSimulator& sim) {
    std::vector<uint16_t> commands;
    for (const auto& r : sim.Requests()) commands.push_back(r.command);
    return commands;
  }
};

std::vector<std::string> Rows(QTreeWidget* list, int column = 0) {
  std::vector<std::string> rows;
  for (int i = 0; i < list->topLevelItemCount(); ++i) rows.push_back(list->topLevelItem(i)->text(column).toStdString());
  return rows;
}

}  // namespace

TEST(DialogUnits, FollowTheFontActuallyUsed) {
  QFont font("Tahoma", 8);
  DialogUnits units(font);
  QFontMetrics metrics(font);
  const int width = (metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 26 + 1) / 2;
  EXPECT_EQ(units.BaseWidth(), width);
  EXPECT_EQ(units.BaseHeight(), metrics.height());
  EXPECT_EQ(units.ToPixels(4, 8, 40, 16), QRect(width, metrics.height(), 10 * width, 2 * metrics.height()));
}

TEST_F(DialogTest, TrayClickShowsTheTokenDialogAndDeleteAllErasesTheToken) {
  auto token = Token(21, 4711, {{0x1234500, 1000, 0x0F}, {0x1234501, 2000, 0x05}});
  auto& sim = *rack.Token(21);
  CTokenDialog* dialog = Announce(token);
  ASSERT_NE(dialog, nullptr);
  EXPECT_FALSE(dialog->isVisible());  // hidden until its icon is clicked
  SendMessage(handle, WM_TOKEN_NOTIFY, WPARAM(token), WM_RBUTTONUP);
  EXPECT_FALSE(dialog->isVisible());
  SendMessage(handle, WM_TOKEN_NOTIFY, WPARAM(token), WM_LBUTTONUP);
  ASSERT_TRUE(dialog->isVisible());
  EXPECT_EQ(dialog->windowTitle(), "ZARN Crypto Token");

  EXPECT_EQ(Child<QLabel>(dialog, CTokenDialog::IDC_SERIAL)->text(), "4711");
  EXPECT_EQ(Child<QLabel>(dialog, CTokenDialog::IDC_COUNT)->text(), "2 Key-sets (908 Free)");
  auto* list = Child<QTreeWidget>(dialog, CTokenDialog::IDC_KEYSET_LIST);
  ASSERT_EQ(list->topLevelItemCount(), 2);
  EXPECT_EQ(list->topLevelItem(0)->text(0).toStdWString(), Name(0x1234501, 2000));  // the last entry first
  EXPECT_EQ(list->topLevelItem(1)->text(0).toStdWString(), Name(0x1234500, 1000));
  EXPECT_EQ(Rows(list, 2), (std::vector<std::string>{"No", "Yes"}));
  EXPECT_EQ(Rows(list, 3), (std::vector<std::string>{"Yes", "Yes"}));
  EXPECT_EQ(list->headerItem()->text(4), "Decryption");
  EXPECT_FALSE(Child<QPushButton>(dialog, CTokenDialog::IDC_PASSWORD)->isEnabled());  // key-sets on it
  for (ControlId id : {CTokenDialog::IDC_ADD, CTokenDialog::IDC_DELETE_ALL, CTokenDialog::IDC_SECURITY})
    EXPECT_TRUE(Child<QPushButton>(dialog, id)->isEnabled()) << id.name;
  Screenshot(dialog, "token_dialog");
  // The tab order is the template's.
  std::vector<std::string> chain;
  QWidget* w = Child<QPushButton>(dialog, CTokenDialog::IDC_CLOSE);
  do {
    if (w->focusPolicy() & Qt::TabFocus && w->isEnabled() && w->parentWidget() == dialog)
      chain.push_back(w->objectName().toStdString());
    w = w->nextInFocusChain();
  } while (w != Child<QPushButton>(dialog, CTokenDialog::IDC_CLOSE));
  EXPECT_EQ(chain, (std::vector<std::string>{"IDOK", "IDC_KEYSET_LIST", "IDC_ADD", "IDC_DELETE_ALL", "IDC_SECURITY"}));

  // No: nothing sent. A refused erase and a silent token keep the list.
  sim.ClearRequests();
  boxes.Answer(platform::IDNO);
  Click(dialog, CTokenDialog::IDC_DELETE_ALL);
  EXPECT_TRUE(sim.Requests().empty());
  sim.InjectFault({sim::TokenFault::ErrorBit});
  boxes.Answer(platform::IDYES);
  Click(dialog, CTokenDialog::IDC_DELETE_ALL);
  sim.InjectFault({sim::TokenFault::Silence});
  boxes.Answer(platform::IDYES);
  Click(dialog, CTokenDialog::IDC_DELETE_ALL);
  EXPECT_EQ(list->topLevelItemCount(), 2);
  auto all = boxes.Boxes();
  ASSERT_EQ(all.size(), 5u);
  EXPECT_EQ(all[0].text, "Are you sure you want to delete all key-sets?");
  EXPECT_EQ(all[0].flags, platform::MB_YESNO);
  EXPECT_EQ(all[2].text, "Erase operation failed.");
  EXPECT_EQ(all[2].caption, "ZARN Token");
  EXPECT_EQ(all[4].text, "Crypto token error.");
  EXPECT_EQ(all[4].flags, platform::MB_ICONHAND);

  boxes.Answer(platform::IDYES);
  Click(dialog, CTokenDialog::IDC_DELETE_ALL);
  EXPECT_TRUE(sim.Keysets().empty());
  EXPECT_EQ(list->topLevelItemCount(), 0);
  EXPECT_EQ(Child<QLabel>(dialog, CTokenDialog::IDC_COUNT)->text(), "0 Key-sets (910 Free)");
  EXPECT_TRUE(Child<QPushButton>(dialog, CTokenDialog::IDC_PASSWORD)->isEnabled());

  // Escape and Close hide it; the next click shows the same dialog.
  QTest::keyClick(dialog, Qt::Key_Escape);
  EXPECT_FALSE(dialog->isVisible());
  SendMessage(handle, WM_TOKEN_NOTIFY, WPARAM(token), WM_LBUTTONUP);
  EXPECT_TRUE(dialog->isVisible());
  Click(dialog, CTokenDialog::IDC_CLOSE);
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_EQ(token->Dialog(), dialog);
}

TEST_F(DialogTest, WithoutAKeyDatabaseTheDialogOnlyShows) {
  database.set = false;
  auto token = Token(22, 7);
  CTokenDialog* dialog = Announce(token);
  EXPECT_EQ(Child<QLabel>(dialog, CTokenDialog::IDC_COUNT)->text(), "0 Key-sets (910 Free)");
  for (ControlId id : {CTokenDialog::IDC_ADD, CTokenDialog::IDC_DELETE_ALL, CTokenDialog::IDC_SECURITY,
                       CTokenDialog::IDC_PASSWORD})
    EXPECT_FALSE(Child<QPushButton>(dialog, id)->isEnabled()) << id.name;
}

TEST_F(DialogTest, AnUnreachableDatabaseOpensNoAddDialog) {
  database.dataSource = L"NoSuchSource";
  auto token = Token(23, 8);
  CTokenDialog* dialog = Announce(token);
  Click(dialog, CTokenDialog::IDC_ADD);
  auto all = boxes.Boxes();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].text, "Could not connect to datasoure NoSuchSource.");
  EXPECT_EQ(all[0].caption, "ODBC Error");
  Click(dialog, CTokenDialog::IDC_SECURITY);  // no dialog, no word
  EXPECT_EQ(boxes.Boxes().size(), 1u);
}

TEST_F(DialogTest, UnpluggingATokenClosesItsDialogEvenInsideAModalDialog) {
  auto token = Token(24, 9);
  auto& sim = *rack.Token(24);
  QPointer<CTokenDialog> dialog = Announce(token);
  SendMessage(handle, WM_TOKEN_NOTIFY, WPARAM(token), WM_LBUTTONUP);
  // The removal arrives while Set Password is open: it ends as Cancel, nothing more is sent.
  bool removed = false;
  WhenOpen<CChangePasswordDialog>([&](CChangePasswordDialog* change) {
    Type(change, CChangePasswordDialog::IDC_PASSWORD, "abc");
    Type(change, CChangePasswordDialog::IDC_CONFIRM, "abc");
    sim.ClearRequests();
    SendMessage(handle, WM_TOKEN_REMOVED, 0, LPARAM(token));
    removed = true;
    EXPECT_FALSE(change->isVisible());
  });
  Click(dialog, CTokenDialog::IDC_PASSWORD);
  EXPECT_TRUE(removed);
  EXPECT_TRUE(sim.Requests().empty());
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(dialog.isNull());
  EXPECT_TRUE(window.Icons().empty());
  EXPECT_EQ(token->Dialog(), nullptr);
  EXPECT_EQ(boxes.Beeps().size(), 2u);
}

TEST_F(DialogTest, ALockedTokenIsUnlockedThroughThePasswordDialogAndAnnounced) {
  auto& sim = rack.Plug(25, 3131);
  sim::Salt8 salt{1, 2, 3, 4, 5, 6, 7, 8};
  sim::Key16 key, verifier;
  ASSERT_TRUE(DeriveKey("right", 32768, salt.data(), 8, key.data(), 16, verifier.data(), 16));
  sim.SetPassword(key, verifier, salt);
  database.set = false;  // nothing offered: the operator types
  CTokenScan scan(handle, TokenScanOptions{milliseconds(50), Fast});
  int attempts = 0;
  std::function<void(CPasswordDialog*)> answer = [&](CPasswordDialog* dialog) {
    EXPECT_EQ(dialog->windowTitle(), " ZARN Crypto Token ");
    EXPECT_EQ(Child<QLabel>(dialog, CPasswordDialog::IDC_SERIAL)->text(), "3131");
    EXPECT_TRUE(dialog->focusWidget() == Child<QLineEdit>(dialog, CPasswordDialog::IDC_PASSWORD));
    const char* tries[] = {"", "wrong", "right"};
    Type(dialog, CPasswordDialog::IDC_PASSWORD, tries[attempts]);
    if (attempts++ == 1) Screenshot(dialog, "password_dialog");
    QTest::keyClick(Child<QLineEdit>(dialog, CPasswordDialog::IDC_PASSWORD), Qt::Key_Return);
    if (attempts < 3) WhenOpen(answer);
  };
  WhenOpen(answer);
  scan.StartTokenScan();
  for (int i = 0; i < 500 && window.Icons().empty(); ++i) QTest::qWait(10);
  scan.StopTokenScan();
  EXPECT_EQ(Texts(), (std::vector<std::string>{"Key derivation failed.", "Invalid password."}));
  ASSERT_EQ(window.Icons().size(), 1u);
  EXPECT_FALSE(sim.Locked());
  window.Destroy();  // before the scan's tokens go
}

TEST_F(DialogTest, TheStoredPasswordIsOfferedAndCancelLeavesTheTokenLocked) {
  auto& sim = rack.Plug(26, 3232);
  sim::Salt8 salt{8, 7, 6, 5, 4, 3, 2, 1};
  sim::Key16 key, verifier;
  ASSERT_TRUE(DeriveKey("stored\xE9", 32768, salt.data(), 8, key.data(), 16, verifier.data(), 16));
  sim.SetPassword(key, verifier, salt);
  CToken token(26, Fast);
  ASSERT_TRUE(token.Ping());
  database.set = true;
  {
    CKeysetDatasource db(database.dataSource.c_str(), database.user.c_str(), database.password.c_str());
    ASSERT_TRUE(db.InsertToken(3232));
    ASSERT_TRUE(db.UpdatePassphrase(3232, L"stored\u00E9"));
    const uint8_t bsl[32] = {};
    ASSERT_TRUE(db.UpdateBsl(3232, bsl));  // a row reads only with its boot-loader password
  }
  WhenOpen<CPasswordDialog>([](CPasswordDialog* dialog) {
    EXPECT_TRUE(dialog->focusWidget() == Child<QPushButton>(dialog, CPasswordDialog::IDOK_BUTTON));
    QTest::keyClick(dialog, Qt::Key_Escape);
  });
  EXPECT_EQ(SendMessage(handle, WM_TOKEN_PASSWORD, 0, LPARAM(&token)), platform::IDCANCEL);
  EXPECT_TRUE(sim.Locked());
  WhenOpen<CPasswordDialog>([](CPasswordDialog* dialog) { QTest::keyClick(dialog, Qt::Key_Return); });
  EXPECT_EQ(SendMessage(handle, WM_TOKEN_PASSWORD, 0, LPARAM(&token)), platform::IDOK);
  EXPECT_FALSE(sim.Locked());
  EXPECT_TRUE(boxes.Boxes().empty());
}

TEST_F(DialogTest, SetPasswordLocksTheTokenAndStoresThePassphrase) {
  auto token = Token(27, 2727);
  auto& sim = *rack.Token(27);
  CTokenDialog* dialog = Announce(token);
  WhenOpen<CChangePasswordDialog>([&](CChangePasswordDialog* change) {
    EXPECT_EQ(change->windowTitle(), "Set Password");
    EXPECT_EQ(keydb_test::RawConnection(Sqlite).Value("SELECT COUNT(*) FROM \"Tokens\" WHERE \"SerialNumber\" = 2727"),
              "1");  // the row exists as soon as the dialog is open
    sim.ClearRequests();
    Type(change, CChangePasswordDialog::IDC_PASSWORD, "n3w");
    Type(change, CChangePasswordDialog::IDC_CONFIRM, "n3W");
    Click(change, CChangePasswordDialog::IDOK_BUTTON);
    EXPECT_TRUE(sim.Requests().empty());
    Type(change, CChangePasswordDialog::IDC_CONFIRM, "n3w");
    Screenshot(change, "set_password_dialog");
    Click(change, CChangePasswordDialog::IDOK_BUTTON);
  });
  Click(dialog, CTokenDialog::IDC_PASSWORD);
  EXPECT_EQ(Texts(), std::vector<std::string>{"The passwords do not match."});
  EXPECT_EQ(Commands(sim), std::vector<uint16_t>{TokenLock});
  EXPECT_EQ(keydb_test::RawConnection(Sqlite).Value("SELECT \"Passphrase\" FROM \"Tokens\" WHERE \"SerialNumber\" = 2727"),
            "n3w");

  // After a power-up the token is locked with the new salt and verifier: the new password opens it.
  rack.Unplug(27);
  rack.Plug(27, 2727);
  ASSERT_TRUE(sim.Locked());
  CToken again(27, Fast);
  uint8_t salt[8], key[16], verifier[16];
  TokenStatus status = 0;
  ASSERT_TRUE(again.Ping() && again.GetSalt(salt));
  ASSERT_TRUE(DeriveKey("n3w", 32768, salt, 8, key, 16, verifier, 16));
  ASSERT_TRUE(again.Unlock(key, verifier, &status));
  EXPECT_FALSE(status & TokenPasswordLock);
}

TEST_F(DialogTest, ASetPasswordWhoseDatabaseUpdateFailsLeavesTheTokenLockedAndSaysSo) {
  auto token = Token(32, 3232);
  auto& sim = *rack.Token(32);
  CTokenDialog* dialog = Announce(token);
  bool open = false;
  WhenOpen<CChangePasswordDialog>([&](CChangePasswordDialog* change) {
    open = true;
    keydb_test::RawConnection(Sqlite).Exec("DROP TABLE \"Tokens\"");
    Type(change, CChangePasswordDialog::IDC_PASSWORD, "pw");
    Type(change, CChangePasswordDialog::IDC_CONFIRM, "pw");
    sim.ClearRequests();
    QTest::keyClick(Child<QLineEdit>(change, CChangePasswordDialog::IDC_CONFIRM), Qt::Key_Return);
    EXPECT_FALSE(change->isVisible());
  });
  Click(dialog, CTokenDialog::IDC_PASSWORD);
  ASSERT_TRUE(open);
  EXPECT_EQ(Commands(sim), std::vector<uint16_t>{TokenLock});
  ASSERT_FALSE(Texts().empty());
  EXPECT_EQ(Texts().back(), "Database error.");

  // Without its table the next opening cannot add the row: "Database error." and no dialog.
  boxes.Clear();
  Click(dialog, CTokenDialog::IDC_PASSWORD);
  EXPECT_EQ(Texts().back(), "Database error.");
}

TEST_F(DialogTest, TheEndOfTheEventLoopEndsAnOpenPasswordDialogAsCancel) {
  auto& sim = rack.Plug(33, 3333);
  sim.SetPassword({}, {}, {}, true);
  CToken token(33, Fast);
  ASSERT_TRUE(token.Ping());
  database.set = false;
  WhenOpen<CPasswordDialog>([&](CPasswordDialog* dialog) {
    Type(dialog, CPasswordDialog::IDC_PASSWORD, "typed");
    sim.ClearRequests();
    QCoreApplication::exit(0);  // as when the service quits or loses its bus
  });
  EXPECT_EQ(SendMessage(handle, WM_TOKEN_PASSWORD, 0, LPARAM(&token)), platform::IDCANCEL);
  EXPECT_TRUE(sim.Requests().empty());
  // Let the next loops of this process run again.
  QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
  QCoreApplication::exec();
}

TEST_F(DialogTest, AddKeysetsLoadsTheSelectionFromTheKeyDatabase) {
  {
    CKeysetDatasource db(database.dataSource.c_str(), database.user.c_str(), database.password.c_str());
    uint8_t k[4][16], quarel[8] = {};
    for (int t = 0; t < 4; ++t) std::memset(k[t], 0x11 * (t + 1), 16);
    for (uint32_t seal : {500u, 600u, 700u})
      for (uint32_t time : {1000u, 2000u}) ASSERT_TRUE(db.StoreKeyset(seal << 8, time, k[0], k[1], k[2], k[3], quarel));
  }
  keydb_test::RawConnection raw(Sqlite);
  for (const char* sql : {"INSERT INTO \"OpDivs\" VALUES (1, 'North')", "INSERT INTO \"OpDivs\" VALUES (2, 'east')",
                          "INSERT INTO \"Facilities\" VALUES (10, 'HB', 'Harbour')",
                          "INSERT INTO \"SealRequests\" SELECT \"SealID\", '2011-01-01 08:00:00', 10, 1 FROM \"Seals\" "
                          "WHERE \"SerialNumber\" IN (500, 600)"})
    raw.Exec(sql);
  auto token = Token(28, 2828, {{500u << 8, 2000, 0x0F}});
  auto& sim = *rack.Token(28);
  sim.SetCapacity(4);
  ASSERT_TRUE(token->ReadKeysets());
  CTokenDialog* dialog = Announce(token);

  WhenOpen<CAddKeysDialog>([&](CAddKeysDialog* add) {
    auto* division = Child<QComboBox>(add, CAddKeysDialog::IDC_DIVISION);
    auto* seal = Child<QComboBox>(add, CAddKeysDialog::IDC_SEAL);
    auto* results = Child<QTreeWidget>(add, CAddKeysDialog::IDC_RESULT_LIST);
    EXPECT_EQ(division->itemText(0), "<All>");
    EXPECT_EQ(division->itemText(1), "east");  // sorted without regard to case
    EXPECT_EQ(seal->count(), 4);
    EXPECT_TRUE(Child<QCheckBox>(add, CAddKeysDialog::IDC_NEWEST_ONLY)->isChecked());
    ASSERT_EQ(results->topLevelItemCount(), 3);  // the newest key-set of each seal
    auto* onToken = results->findItems(QString::fromStdWString(Name(500u << 8, 2000)), Qt::MatchExactly)[0];
    EXPECT_FALSE(onToken->flags() & Qt::ItemIsSelectable);  // grey: on the token already

    // North narrows to the seals its requests name; without "newest only" all their key-sets.
    division->setCurrentIndex(division->findText("North"));
    emit division->activated(division->currentIndex());
    EXPECT_EQ(Child<QComboBox>(add, CAddKeysDialog::IDC_FACILITY)->itemText(0), "<All>");
    EXPECT_EQ(seal->count(), 3);
    QTest::keyClick(Child<QCheckBox>(add, CAddKeysDialog::IDC_NEWEST_ONLY), Qt::Key_Space);
    ASSERT_EQ(results->topLevelItemCount(), 4);
    results->selectAll();
    EXPECT_EQ(results->selectedItems().size(), 3);  // never the grey one
    Click(add, CAddKeysDialog::IDC_SELECT);
    EXPECT_EQ(Child<QLabel>(add, CAddKeysDialog::IDC_SELECTED_COUNT)->text(), "Selected key-sets: 3");
    for (int i = 0; i < results->topLevelItemCount(); ++i)
      EXPECT_FALSE(results->topLevelItem(i)->flags() & Qt::ItemIsSelectable);
    Screenshot(add, "add_keysets_dialog");

    // Three do not fit into the three free places... of a token that holds one of four.
    Click(add, CAddKeysDialog::IDC_ADD_TO_TOKEN);
    EXPECT_EQ(Texts(), std::vector<std::string>{});
    EXPECT_FALSE(add->isVisible());
  });
  Click(dialog, CTokenDialog::IDC_ADD);
  auto stored = sim.Keysets();
  ASSERT_EQ(stored.size(), 4u);
  for (size_t i = 1; i < 4; ++i) {
    sim::Key16 none;
    none.fill(0xFF);
    EXPECT_EQ(stored[i].keys[0], none);
    EXPECT_EQ(stored[i].keys[3][0], 0x44);
  }
  EXPECT_EQ(Child<QLabel>(dialog, CTokenDialog::IDC_COUNT)->text(), "4 Key-sets (0 Free)");
  EXPECT_EQ(Child<QTreeWidget>(dialog, CTokenDialog::IDC_KEYSET_LIST)->topLevelItemCount(), 4);

  // A full token takes no more.
  WhenOpen<CAddKeysDialog>([&](CAddKeysDialog* add) {
    auto* results = Child<QTreeWidget>(add, CAddKeysDialog::IDC_RESULT_LIST);
    QTest::keyClick(Child<QCheckBox>(add, CAddKeysDialog::IDC_NEWEST_ONLY), Qt::Key_Space);
    results->selectAll();
    Click(add, CAddKeysDialog::IDC_SELECT);
    Click(add, CAddKeysDialog::IDC_ADD_TO_TOKEN);
    EXPECT_TRUE(add->isVisible());
    QTest::keyClick(add, Qt::Key_Escape);
  });
  Click(dialog, CTokenDialog::IDC_ADD);
  EXPECT_EQ(Texts(), std::vector<std::string>{"There is not enough free memory space."});
  EXPECT_EQ(sim.Keysets().size(), 4u);
}

TEST_F(DialogTest, AStoreTheTokenRefusesEndsTheAddingAndKeepsWhatWasStored) {
  {
    CKeysetDatasource db(database.dataSource.c_str(), database.user.c_str(), database.password.c_str());
    uint8_t k[16] = {}, quarel[8] = {};
    for (uint32_t seal : {800u, 801u, 802u}) ASSERT_TRUE(db.StoreKeyset(seal << 8, 100, k, k, k, k, quarel));
  }
  auto token = Token(30, 3030);
  auto& sim = *rack.Token(30);
  sim.SetCapacity(1);  // the token refuses the second with its error bit, though it said 910 places
  CTokenDialog* dialog = Announce(token);
  WhenOpen<CAddKeysDialog>([&](CAddKeysDialog* add) {
    Child<QTreeWidget>(add, CAddKeysDialog::IDC_RESULT_LIST)->selectAll();
    Click(add, CAddKeysDialog::IDC_SELECT);
    Click(add, CAddKeysDialog::IDC_ADD_TO_TOKEN);
  });
  Click(dialog, CTokenDialog::IDC_ADD);
  EXPECT_EQ(Texts(), std::vector<std::string>{"Failed to store key-set on crypto token."});
  EXPECT_EQ(sim.Keysets().size(), 1u);
  EXPECT_EQ(Rows(Child<QTreeWidget>(dialog, CTokenDialog::IDC_KEYSET_LIST)).size(), 1u);
  EXPECT_EQ(Child<QLabel>(dialog, CTokenDialog::IDC_COUNT)->text(), "1 Key-sets (909 Free)");
  EXPECT_FALSE(Child<QPushButton>(dialog, CTokenDialog::IDC_PASSWORD)->isEnabled());
}

TEST_F(DialogTest, ASecurityDialogWhoseTokenWentSendsNothingMore) {
  auto token = Token(31, 3131);
  auto& sim = *rack.Token(31);
  ASSERT_NO_FATAL_FAILURE(StoreZeroBsl(3131));
  CTokenDialog* dialog = Announce(token);
  WhenOpen<CSecurityDialog>([&](CSecurityDialog* security) {
    // A silent token: both words of the failed test.
    sim.InjectFault({sim::TokenFault::ErrorBit});
    Click(security, CSecurityDialog::IDC_TEST);
    SendMessage(handle, WM_TOKEN_REMOVED, 0, LPARAM(token));
    EXPECT_FALSE(security->isVisible());
    sim.ClearRequests();
    Click(security, CSecurityDialog::IDC_SET);
    Click(security, CSecurityDialog::IDC_TEST);
    EXPECT_TRUE(sim.Requests().empty());
  });
  Click(dialog, CTokenDialog::IDC_SECURITY);
  EXPECT_EQ(Texts(), (std::vector<std::string>{"Crypto token error.", "Communication error.", "Communication error."}));
}

TEST_F(DialogTest, ASecurityDialogKeepsItsTestedPairOpenWhenTheDatabaseRefusesIt) {
  auto token = Token(34, 3434);
  CTokenDialog* dialog = Announce(token);
  // A row that the dialog adds holds no boot-loader password, and such a row does not open it.
  Click(dialog, CTokenDialog::IDC_SECURITY);
  EXPECT_EQ(Texts(), std::vector<std::string>{"Database error."});
  EXPECT_EQ(keydb_test::RawConnection(Sqlite).Value("SELECT COUNT(*) FROM \"Tokens\" WHERE \"SerialNumber\" = 3434"), "1");
  ASSERT_NO_FATAL_FAILURE(StoreZeroBsl(3434, true));
  boxes.Clear();
  bool asked = false;
  WhenOpen<CSecurityDialog>([&](CSecurityDialog* security) {
    Click(security, CSecurityDialog::IDC_CLOSE);  // nothing tested: closes without asking
    asked = true;
  });
  Click(dialog, CTokenDialog::IDC_SECURITY);
  ASSERT_TRUE(asked);
  EXPECT_TRUE(boxes.Boxes().empty());

  WhenOpen<CSecurityDialog>([&](CSecurityDialog* security) {
    Click(security, CSecurityDialog::IDC_TEST);
    keydb_test::RawConnection(Sqlite).Exec("DROP TABLE \"Tokens\"");
    boxes.Answer(platform::IDYES);
    Click(security, CSecurityDialog::IDC_CLOSE);
    EXPECT_TRUE(security->isVisible());
    boxes.Answer(platform::IDNO);
    Click(security, CSecurityDialog::IDC_CLOSE);
    EXPECT_FALSE(security->isVisible());
  });
  Click(dialog, CTokenDialog::IDC_SECURITY);
  auto texts = Texts();
  ASSERT_GE(texts.size(), 3u);
  EXPECT_EQ(texts.front(), "Firmware authentication has changed.\n\rSave changes?");
  EXPECT_EQ(texts[texts.size() - 2], "Database error.");

}

// Counts the Enter keys that reach the dialog itself.
class EnterSpy : public QObject {
 public:
  explicit EnterSpy(QWidget* dialog) { dialog->installEventFilter(this); }
  int count = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::KeyPress) {
      const int key = static_cast<QKeyEvent*>(event)->key();
      count += key == Qt::Key_Return || key == Qt::Key_Enter;
    }
    return false;
  }
};

TEST_F(DialogTest, TheSecurityDialogsKeysPassTheHexGroups) {
  auto token = Token(35, 3535);
  auto& sim = *rack.Token(35);
  ASSERT_NO_FATAL_FAILURE(StoreZeroBsl(3535));
  CTokenDialog* dialog = Announce(token);
  auto group = [](QWidget* w, ControlId first, int n) {
    return w->findChild<QLineEdit*>(QString("%1_%2").arg(first.name).arg(n));
  };
  bool closed = false;
  WhenOpen<CSecurityDialog>([&](CSecurityDialog* security) {
    ASSERT_TRUE(QTest::qWaitForWindowActive(security));
    // Tab and Shift+Tab move along the groups, from row to row too.
    struct Move {
      ControlId from;
      int fromGroup;
      Qt::Key key;
      Qt::KeyboardModifiers modifiers;
      ControlId to;
      int toGroup;
    };
    const Move moves[] = {
        {CSecurityDialog::IDC_OLD_PASSWORD, 1, Qt::Key_Tab, {}, CSecurityDialog::IDC_OLD_PASSWORD, 2},
        {CSecurityDialog::IDC_OLD_PASSWORD, 8, Qt::Key_Tab, {}, CSecurityDialog::IDC_OLD_PASSWORD, 9},
        {CSecurityDialog::IDC_OLD_PASSWORD, 2, Qt::Key_Backtab, Qt::ShiftModifier, CSecurityDialog::IDC_OLD_PASSWORD, 1},
        {CSecurityDialog::IDC_NEW_PASSWORD, 1, Qt::Key_Tab, Qt::ShiftModifier, CSecurityDialog::IDC_OLD_PASSWORD, 16},
    };
    for (const Move& m : moves) {
      group(security, m.from, m.fromGroup)->setFocus();
      QTest::keyClick(QApplication::focusWidget(), m.key, m.modifiers);
      EXPECT_EQ(QApplication::focusWidget(), group(security, m.to, m.toGroup)) << m.from.name << " " << m.fromGroup;
    }

    // Characters are still the box's: hexadecimal digits only. Delete deletes, with the
    // character X gives it.
    QLineEdit* box = group(security, CSecurityDialog::IDC_NEW_PASSWORD, 1);
    box->setFocus();
    QTest::keyClicks(QApplication::focusWidget(), "x1 z-a.G");
    EXPECT_EQ(box->text(), "1A");
    QTest::keyClick(box, Qt::Key_Home);
    QTest::sendKeyEvent(QTest::Click, box, Qt::Key_Delete, QString(QChar(0x7F)), Qt::NoModifier);
    EXPECT_EQ(box->text(), "A");

    // Enter reaches the dialog, which has no OK for it to press.
    EnterSpy spy(security);
    sim.ClearRequests();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(spy.count, 2);
    EXPECT_TRUE(security->isVisible());
    EXPECT_TRUE(sim.Requests().empty());

    // Esc closes it: nothing was tested, so nothing is asked.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    closed = !security->isVisible() && security->result() == platform::IDCANCEL;
  });
  Click(dialog, CTokenDialog::IDC_SECURITY);
  EXPECT_TRUE(closed);
  EXPECT_TRUE(boxes.Boxes().empty());
}

// A paste into a password group, from the clipboard with Ctrl+V or Shift+Insert, takes
// what typing would: hexadecimal digits, lower-case ones raised, four at most. A text with
// anything else goes not in at all, and what the groups show is what the token is sent.
TEST_F(DialogTest, APasteIntoAPasswordGroupTakesWhatTypingWould) {
  auto token = Token(36, 3636);
  auto& sim = *rack.Token(36);
  ASSERT_NO_FATAL_FAILURE(StoreZeroBsl(3636));
  CTokenDialog* dialog = Announce(token);
  auto group = [](QWidget* w, int n) {
    return w->findChild<QLineEdit*>(QString("%1_%2").arg(CSecurityDialog::IDC_NEW_PASSWORD.name).arg(n));
  };
  // Ctrl+V with the character X gives it, Shift+Insert with none.
  const auto paste = [](QLineEdit* box, const QString& text, bool shiftInsert = false) {
    QGuiApplication::clipboard()->setText(text);
    box->setFocus();
    if (shiftInsert) QTest::keyClick(box, Qt::Key_Insert, Qt::ShiftModifier);
    else QTest::sendKeyEvent(QTest::Click, box, Qt::Key_V, QString(QChar(0x16)), Qt::ControlModifier);
  };
  WhenOpen<CSecurityDialog>([&](CSecurityDialog* security) {
    ASSERT_TRUE(QTest::qWaitForWindowActive(security));
    struct Case {
      const char* before;
      int cursor;
      QString pasted, after;
    } cases[] = {
        {"", 0, "c0de", "C0DE"},
        {"", 0, "12345678", "1234"},
        {"1", 1, "aBc", "1ABC"},
        {"12", 0, "ef", "EF12"},
        {"", 0, "12 34", ""},
        {"", 0, "ab-c", ""},
        {"", 0, "1a\n", ""},
        {"9", 1, "0x1", "9"},
        {"", 0, QString::fromUtf8("\xEF\xBC\x91"), ""},  // a full-width 1
    };
    QLineEdit* box = group(security, 1);
    for (const Case& c : cases) {
      box->setText(c.before);
      box->setCursorPosition(c.cursor);
      paste(box, c.pasted);
      EXPECT_EQ(box->text(), c.after) << c.pasted.toStdString();
    }
    box->clear();
    paste(box, "fa11", true);
    EXPECT_EQ(box->text(), "FA11");

    box->selectAll();  // a paste replaces the selection
    paste(box, "c0de");
    paste(group(security, 2), "ab-c");
    paste(group(security, 3), "1f");
    Click(security, CSecurityDialog::IDC_SET);
    QTest::keyClick(security, Qt::Key_Escape);
  });
  Click(dialog, CTokenDialog::IDC_SECURITY);
  sim::Bsl32 expected{};
  expected[0] = 0xC0, expected[1] = 0xDE, expected[4] = 0x1F;
  EXPECT_EQ(sim.BslPassword(), expected);
  EXPECT_TRUE(boxes.Boxes().empty());
}

TEST_F(DialogTest, SecuritySetsTheBootLoaderPasswordAndTestsTheFirmware) {
  auto token = Token(29, 2929);
  auto& sim = *rack.Token(29);
  sim::Bsl32 bsl;
  for (int i = 0; i < 32; ++i) bsl[size_t(i)] = uint8_t(0xA0 + i);
  sim.SetBslPassword(bsl);
  sim::Key16 firmware{};
  firmware.fill(0x5A);
  sim.SetFirmwareKey(firmware);
  {
    CKeysetDatasource db(database.dataSource.c_str(), database.user.c_str(), database.password.c_str());
    ASSERT_TRUE(db.InsertToken(2929));
    ASSERT_TRUE(db.UpdateBsl(2929, bsl.data()));
  }
  CTokenDialog* dialog = Announce(token);
  auto group = [](QWidget* w, ControlId first, int n) {
    return w->findChild<QLineEdit*>(QString("%1_%2").arg(first.name).arg(n));
  };
  WhenOpen<CSecurityDialog>([&](CSecurityDialog* security) {
    EXPECT_EQ(group(security, CSecurityDialog::IDC_OLD_PASSWORD, 1)->text(), "A0A1");
    EXPECT_EQ(group(security, CSecurityDialog::IDC_OLD_PASSWORD, 16)->text(), "BEBF");
    EXPECT_FALSE(group(security, CSecurityDialog::IDC_NEW_PASSWORD, 15)->isEnabled());
    // Only hexadecimal digits, lower case raised.
    QTest::keyClicks(group(security, CSecurityDialog::IDC_NEW_PASSWORD, 1), "g c1 2");
    EXPECT_EQ(group(security, CSecurityDialog::IDC_NEW_PASSWORD, 1)->text(), "C12");
    QTest::keyClicks(group(security, CSecurityDialog::IDC_NEW_PASSWORD, 2), "AB");
    Click(security, CSecurityDialog::IDC_SET);
    EXPECT_EQ(group(security, CSecurityDialog::IDC_OLD_PASSWORD, 1)->text(), "C120");
    EXPECT_EQ(group(security, CSecurityDialog::IDC_OLD_PASSWORD, 2)->text(), "AB00");

    // Enter presses nothing: there is no OK.
    QTest::keyClick(group(security, CSecurityDialog::IDC_KEY, 1), Qt::Key_Return);
    EXPECT_TRUE(security->isVisible());
    for (int n = 1; n <= 8; ++n) {
      auto* key = group(security, CSecurityDialog::IDC_KEY, n);
      key->clear();
      QTest::keyClicks(key, "0102");
    }
    Click(security, CSecurityDialog::IDC_TEST);
    Screenshot(security, "security_dialog");
    boxes.Answer(platform::IDCANCEL);
    QTest::keyClick(security, Qt::Key_Escape);
    EXPECT_TRUE(security->isVisible());
    boxes.Answer(platform::IDYES);
    Click(security, CSecurityDialog::IDC_CLOSE);
  });
  Click(dialog, CTokenDialog::IDC_SECURITY);

  sim::Bsl32 expected = bsl;
  expected[0] = 0xC1, expected[1] = 0x20, expected[2] = 0xAB;
  for (size_t i = 3; i < 28; ++i) expected[i] = 0;
  EXPECT_EQ(sim.BslPassword(), expected);  // the last four bytes stay the old ones
  sim::Key16 challenge;
  for (size_t i = 0; i < 16; ++i) challenge[i] = uint8_t(i % 2 ? 2 : 1);
  sim::Key16 answer = sim::FirmwareResponse(firmware, challenge);
  keydb_test::RawConnection raw(Sqlite);
  EXPECT_EQ(raw.Value("SELECT \"Key\" FROM \"Tokens\" WHERE \"SerialNumber\" = 2929"), "01020102010201020102010201020102");
  wchar_t mac[33];
  EncodeHex(mac, answer.data(), 16);
  EXPECT_EQ(platform::WideToUtf8(mac), raw.Value("SELECT \"MAC\" FROM \"Tokens\" WHERE \"SerialNumber\" = 2929"));
  const std::string ask = "Firmware authentication has changed.\n\rSave changes?";
  EXPECT_EQ(Texts(), (std::vector<std::string>{ask, ask}));
}

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  testing::AddGlobalTestEnvironment(new keydb_test::OdbcSandbox);
  return RUN_ALL_TESTS();
}
