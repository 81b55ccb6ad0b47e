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
#include <QStringList>
#include <QTabWidget>
#include <QToolBar>
#include <QToolButton>
#include <map>
#include <memory>
#include <vector>
#include <QPrinter>

#include "dom.h"
#include "isession.h"
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
  // fileName: a seal data file to open at start, or empty. htmlFolder: where the pages
  // are, empty for the html folder beside the program.
  explicit TMainForm(const QString& fileName = {}, const QString& htmlFolder = {});
  ~TMainForm() override;

  // The prompts of closing and of the seal data file.
  int ShowMessageDlg(const QString& text, TMsgDlgType type, unsigned buttons);
  void ShowBusyIcon();
  void HideBusyIcon();
  void SetSealState(uint32_t serialNumber, int state);

  bool QueryLogOff();
  bool QuerySave();
  bool LogOffAllSeals();

  // What became of a search: refused (another operation ran, nothing was searched), or the
  // ports searched, whether a cancel cut it short, and what the window said of each port
  // that did not open or could not be sent on (empty when none failed).
  struct TFindOutcome {
    bool refused = false;
    bool canceled = false;
    QStringList ports;
    QString failure;
  };
  // Searches the port named (or, for a name of no port, every port); its seals that the
  // search does not find again leave the setup. A port that failed, and a canceled search,
  // remove none.
  TFindOutcome FindSealsOnPort(const QString& name);
  // Puts the found seals under the port and settles the state of each of its numbered seals.
  // Only a search that ran to its end on the port marks a seal not found; after one cut
  // short, a seal that answered shows its state as a found one does, and the others keep theirs.
  void MergeFoundSeals(TTreeNode* port, const uint32_t found[32], bool toItsEnd);
  void FindSealsMenuItemClick();

  void NewDatabase();
  bool OpenDatabase(const QString& fileName);
  bool SaveDatabase();
  bool SaveDatabaseAs(const QString& fileName);

  // The full path of a page in the html folder.
  QString HtmlPagePath(const QString& page) const;

  // Tell the session what the page is about, then show the page when it is there.
  void ShowSealPage(IZarnReaderSeal* seal);
  void ShowGroupPage(IZarnReaderSealGroup* group);
  void ShowDatabasePage(uint32_t serialNumber);

  // The browser's zoom factor of each text size, smallest (0) to largest (4).
  static constexpr qreal TextSizeZoom[] = {0.8, 0.9, 1.0, 1.1, 1.25};
  // The text size the browser shows, or -1 when its zoom is none of the five.
  int TextSize() const;
  // The zoom a zoom key gives: the next level up (step +1) or down (-1), or 1 (step 0).
  static qreal NextZoom(qreal zoom, int step);

  TSetupTrees& Trees() { return *trees_; }
  TZarnDocument& Document() { return *document_; }
  ReaderOptions& Options() { return options_; }
  const QString& FileName() const { return fileName_; }
  TZarnReaderSession& Session() const { return *ReaderSession.Get(); }
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
  // A key-set the key database lacks, shown until it is stored.
  QLabel* KeysetAlertPanel;

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
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildLayout();
  void BuildMenus();
  void BuildToolBar();
  QWidget* CaptionedTab(const QString& caption, QWidget* view);
  LRESULT WindowProcedure(UINT message, WPARAM wParam, LPARAM lParam);
  void SetFileName(const QString& name);
  // Saves the setup once the session ends; says what was lost when the registry would not take it.
  void SaveSetupAtExit();
  // Writes the document to the file, with its views for an .xml name.
  bool SaveDocumentTo(const QString& fileName);
  // New, Open and Import replace what a running operation writes or uses: refused, saying why.
  bool RefusedWhileBusy();
  // A Database page on screen shows the document now open.
  void ReloadDatabasePage();
  void OperationEnded();
  void ShowKeysetAlerts();
  // What a page was opened for: the seal, group or Database entry the session was told of.
  struct TPageSubject {
    enum class Kind { Seal, Group, Database } kind;
    ComPtr<IDispatch> object;  // the seal or the group
    int32_t serialNumber = -1;
  };
  void TellSession(const TPageSubject& subject);
  // Shows the page, when it is there, under an address of its own that stands for its subject.
  void ShowPage(const QString& page, const TPageSubject& subject);
  // Whether the browser goes to the address: not through the history while an operation
  // runs (its page shows its result); a page of a subject finds the session told of it first.
  bool AcceptNavigation(const QUrl& url, bool throughHistory);
  // Lets go of the subjects of openings the history can no longer return to.
  void ReleaseUnreachableSubjects();
  // The page of a seal node, a group entry or a group node.
  void OpenPageOf(const TTreeNode* node);
  void OpenPageOf(const QListWidgetItem* item);
  // Enter in a tree or the list: the selection's page.
  void OpenSelectedPage(QObject* view);
  void SetTextSize(int level);
  void ViewMenuShow();
  void PrintPage();
  void PrintPreview();
  // Port nodes of the search: the selected one, or every port with the root selected.
  std::vector<TTreeNode*> PortsToSearch() const;
  // Searches and merges; replacing, the seals of each port searched to its end that the
  // search did not find leave the setup.
  TFindOutcome FindSeals(bool replacing);

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
  // The main window's own reference, from creation to destruction.
  ComPtr<TZarnReaderSession> ReaderSession;
  HWND handle_ = 0;
  std::unique_ptr<TZarnDocument> document_;
  TSetupTrees* trees_ = nullptr;
  ReaderOptions options_;
  QString fileName_;
  const QString htmlFolder_;
  // Under the left button since it went down in the group tree or the Database list.
  TTreeNode* MouseDownNode = nullptr;
  QListWidgetItem* MouseDownItem = nullptr;
  // The subject of each page opened that the history can return to, by the number its
  // address carries.
  std::map<int, TPageSubject> pageSubjects_;
  // The printer of a print still running; WebEngine prints after print() has returned.
  std::unique_ptr<QPrinter> printer_;
  // A close that came while an operation's wait ran; carried out once it has ended.
  bool closePending_ = false;
  // The setup was saved as the window closed.
  bool setupSaved_ = false;
};
