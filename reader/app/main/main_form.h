#pragma once
// The reader's main window: the Setup, Group and Database views, the browser, the status
// bar with progress and busy glyph, the menus and tool bar with their enabling rules, the
// window messages of the lower layers, and closing with its questions.

#include <QAction>
#include <QLabel>
#include <QListWidget>
#include <QMainWindow>
#include <QMenu>
#include <QProgressBar>
#include <QTabWidget>
#include <QToolBar>
#include <QToolButton>
#include <memory>

#include "dom.h"
#include "message_dlg.h"
#include "qt_message_queue.h"
#include "setup_trees.h"

class QWebEngineView;
class TAddSealForm;
class TAddInterfaceForm;
class TUserForm;
class TAboutForm;
class TGroupForm;

class TMainForm : public QMainWindow {
  Q_OBJECT

 public:
  // fileName: a seal data file to open at start, or empty.
  explicit TMainForm(const QString& fileName = {});
  ~TMainForm() override;

  // The prompts of closing and of the seal data file.
  int ShowMessageDlg(const QString& text, TMsgDlgType type, unsigned buttons);
  void ShowBusyIcon();
  void HideBusyIcon();
  void SetSealState(uint32_t serialNumber, int state);

  bool QueryLogOff();
  bool QuerySave();
  bool LogOffAllSeals();

  void NewDatabase();
  bool OpenDatabase(const QString& fileName);
  bool SaveDatabase();
  bool SaveDatabaseAs(const QString& fileName);

  // The full path of a page in the html folder beside the program.
  static QString HtmlPagePath(const QString& page);

  TSetupTrees& Trees() { return *trees_; }
  TZarnDocument& Document() { return *document_; }
  ReaderOptions& Options() { return options_; }
  const QString& FileName() const { return fileName_; }
  HWND Handle() const { return handle_; }

  // Components, named as the tests and the page bridge find them.
  QToolBar* ToolBar;
  QTabWidget* PageControl;
  QWidget* SetupTabSheet;
  QWidget* GroupTabSheet;
  QWidget* DatabaseTabSheet;
  QTreeWidget* SetupTreeView;
  QTreeWidget* GroupTreeView;
  QListWidget* DatabaseListView;
  QWebEngineView* Browser;
  QStatusBar* StatusBar;
  QProgressBar* ProgressBar;
  QLabel* GlyphPanel;
  QLabel* ModifiedPanel;
  QLabel* FileNamePanel;

  QMenu* FileMenu;
  QMenu* ViewMenu;
  QMenu* SetupMenu;
  QMenu* GroupMenu;
  QMenu* OptionsMenu;
  QAction *NewMenuItem, *OpenMenuItem, *SaveMenuItem, *SaveAsMenuItem, *PrintMenuItem, *PrintPreviewMenuItem,
      *ExportSetupMenuItem, *ImportSetupMenuItem, *ExitMenuItem;
  QAction *ViewSetupMenuItem, *ViewGroupMenuItem, *ViewDatabaseMenuItem, *LargestTextSizeMenuItem,
      *LargerTextSizeMenuItem, *MediumTextSizeMenuItem, *SmallerTextSizeMenuItem, *SmallestTextSizeMenuItem,
      *ViewStartPageMenuItem;
  QAction *FindSealsMenuItem, *AddSealMenuItem, *RemoveSealMenuItem, *AddInterfaceMenuItem, *RemoveInterfaceMenuItem;
  QAction *CreateGroupMenuItem, *RemoveGroupMenuItem, *GroupPropertiesMenuItem;
  QAction *OperatorsMenuItem, *AboutMenuItem;
  QAction *OpenToolbarButton, *SaveToolbarButton, *FindToolbarButton, *RemoveToolbarbutton, *RefreshToolbarButton,
      *CancelToolbarButton, *BackToolbarButton, *ForewardToolbarButton, *PrintToolbarButton;

  TAddSealForm* AddSealForm = nullptr;
  TAddInterfaceForm* AddInterfaceForm = nullptr;
  TUserForm* UserForm = nullptr;
  TAboutForm* AboutForm = nullptr;
  TGroupForm* GroupForm = nullptr;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildLayout();
  void BuildMenus();
  void BuildToolBar();
  QWidget* CaptionedTab(const QString& caption, QWidget* view);
  LRESULT WindowProcedure(UINT message, WPARAM wParam, LPARAM lParam);
  void SetFileName(const QString& name);
  void OperationEnded();

  void PageControlChange();
  void SetupTreeViewChange();
  void GroupTreeViewChange();
  TTreeNode* SelectedSetupNode() const;
  TTreeNode* SelectedGroupNode() const;

  void AddSealMenuItemClick();
  void RemoveSealMenuItemClick();
  void AddInterfaceMenuItemClick();
  void RemoveInterfaceMenuItemClick();
  void CreateGroupMenuItemClick();
  void RemoveGroupMenuItemClick();
  void GroupPropertiesMenuItemClick();
  void ExportSetupMenuItemClick();
  void ImportSetupMenuItemClick();
  void OperatorsMenuItemClick();

  platform::QtMessageQueue queue_{this};
  HWND handle_ = 0;
  std::unique_ptr<TZarnDocument> document_;
  TSetupTrees* trees_ = nullptr;
  ReaderOptions options_;
  QString fileName_;
  // A close that came while an operation's wait ran; carried out once it has ended.
  bool closePending_ = false;
};
