// The real file dialog, answered with keys as an operator answers it.
#include "file_dialog.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QListView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <functional>

// Texts in failure messages as text.
void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace {

// Runs steps once a file dialog is up.
void WhenDialog(std::function<void(QFileDialog*)> steps) {
  QTimer::singleShot(0, [steps] {
    QFileDialog* dialog = nullptr;
    QTest::qWaitFor([&] { return (dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())); }, 5000);
    if (dialog) steps(dialog);
  });
}

QStringList FilterTexts(QFileDialog* dialog) {
  auto* combo = dialog->findChild<QComboBox*>("fileTypeCombo");
  QStringList texts;
  for (int i = 0; combo && i < combo->count(); ++i) texts << combo->itemText(i);
  return texts;
}

constexpr const char* SaveFilter = "Encrypted Seal Data File (*.zrd)|*.zrd|Unencrypted Seal Data File (*.xml)|*.xml";

TEST(FileDialog, TheChosenFilterGivesTheExtensionOfATypedName) {
  QTemporaryDir dir;
  struct Case {
    int filterSteps;  // Down keys on the file type box
    QString typed, saved;
  };
  for (const Case& c : {Case{0, "JS-AB-20261210-101010", "JS-AB-20261210-101010.zrd"},
                        Case{1, "JS-AB-20261210-101010", "JS-AB-20261210-101010.xml"},
                        Case{1, "plain.txt", "plain.txt"}}) {
    TFileDialogRequest request;
    request.kind = TFileDialogRequest::Kind::Save;
    request.title = "Save As";
    request.filter = SaveFilter;
    request.defaultExtension = "zrd";
    request.fileName = dir.filePath("suggested");
    QStringList filters;
    WhenDialog([&](QFileDialog* dialog) {
      filters = FilterTexts(dialog);
      auto* combo = dialog->findChild<QComboBox*>("fileTypeCombo");
      for (int i = 0; i < c.filterSteps; ++i) QTest::keyClick(combo, Qt::Key_Down);
      auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
      name->selectAll();
      QTest::keyClicks(name, c.typed);
      QTest::keyClick(name, Qt::Key_Return);
    });
    const auto chosen = RunFileDialog(nullptr, request);
    ASSERT_TRUE(chosen.has_value()) << c.typed.toStdString();
    EXPECT_EQ(*chosen, dir.filePath(c.saved));
    EXPECT_EQ(filters, QStringList({"Encrypted Seal Data File (*.zrd)", "Unencrypted Seal Data File (*.xml)"}));
  }
}

TEST(FileDialog, AnyFilesShowsNamesWithoutADot) {
  QTemporaryDir dir;
  for (const char* name : {"README", "seals.zrd"}) {
    QFile file(dir.filePath(name));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  }
  TFileDialogRequest request;
  request.title = "Open";
  request.filter = "Seal Data Files (*.zrd, *.xml)|*.zrd;*.xml|Any Files (*.*)|*.*";
  request.fileName = dir.filePath("seals.zrd");
  QStringList filters, shownByAny;
  WhenDialog([&](QFileDialog* dialog) {
    filters = FilterTexts(dialog);
    QTest::keyClick(dialog->findChild<QComboBox*>("fileTypeCombo"), Qt::Key_Down);
    auto* list = dialog->findChild<QListView*>("listView");
    QTest::qWaitFor([&] { return list->model()->rowCount(list->rootIndex()) == 2; }, 2000);
    for (int row = 0; row < list->model()->rowCount(list->rootIndex()); ++row)
      shownByAny << list->model()->index(row, 0, list->rootIndex()).data().toString();
    dialog->reject();
  });
  EXPECT_FALSE(RunFileDialog(nullptr, request).has_value());
  EXPECT_EQ(filters, QStringList({"Seal Data Files (*.zrd *.xml)", "Any Files (*)"}));
  shownByAny.sort();
  EXPECT_EQ(shownByAny, QStringList({"README", "seals.zrd"}));
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
