#include "main_form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPrintPreviewDialog>
#include <QPrintPreviewWidget>
#include <QPrinterInfo>
#include <QShortcut>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>
#include <QVBoxLayout>
#include <QWebEngineHistory>
#include <QWebEnginePage>
#include <QWebEngineView>

#include <algorithm>
#include <cmath>
#include <functional>
#include <set>

#include "about.h"
#include "actions.h"
#include "add.h"
#include "cp1252.h"
#include "file_dialog.h"
#include "group.h"
#include "images.h"
#include "ipaddr.h"
#include "main_window_messages.h"
#include "message_box.h"
#include "script_bridge_page.h"
#include "tools.h"
#include "user.h"

namespace {

constexpr const char* StartPage = "ZarnReaderStart.htm";
constexpr const char* SealPage = "ZarnReaderSeal.htm";
constexpr const char* GroupPage = "ZarnReaderGroup.htm";
constexpr const char* DatabasePage = "ZarnReaderDatabase.htm";
const QString Untitled = QStringLiteral(" Untitled");
// The item of a page's address that numbers its opening; the window keeps what each was for.
const QString PageNumberItem = QStringLiteral("opened");

// The opening an address stands for; 0 for none.
int PageNumberOf(const QUrl& url) { return QUrlQuery(url).queryItemValue(PageNumberItem).toInt(); }

// The window's browser page: each navigation of the whole page is put to the window first.
class TBrowserPage final : public platform::ScriptBridgePage {
 public:
  using Filter = std::function<bool(const QUrl& url, bool throughHistory)>;
  TBrowserPage(const QString& htmlFolder, QObject* parent, Filter filter)
      : ScriptBridgePage(htmlFolder, parent), filter_(std::move(filter)) {}

 protected:
  bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override {
    if (isMainFrame && !filter_(url, type == NavigationTypeBackForward)) return false;
    return ScriptBridgePage::acceptNavigationRequest(url, type, isMainFrame);
  }

 private:
  const Filter filter_;
};

QAction* Item(QMenu* menu, const char* name, const QString& caption) {
  QAction* action = menu->addAction(caption);
  action->setObjectName(name);
  return action;
}

}  // namespace

TMainForm::TMainForm(const QString& fileName, const QString& htmlFolder)
    : htmlFolder_(htmlFolder.isEmpty() ? QDir(QCoreApplication::applicationDirPath()).filePath("html") : htmlFolder) {
  setObjectName("MainForm");
  setWindowTitle("ZARN");
  setFont(QFont("Tahoma", 8));
  BuildLayout();
  BuildMenus();
  BuildToolBar();

  handle_ = platform::CreateWindowHandle(MainWindowClass, queue_,
                                         [this](UINT m, WPARAM w, LPARAM l) { return WindowProcedure(m, w, l); });

  ReaderSession = TZarnReaderSession::Create(this);
  trees_ = new TSetupTrees(SetupTreeView, GroupTreeView, this);
  connect(trees_, &TSetupTrees::SealNodeClicked, this, [this](TTreeNode* node) { OpenPageOf(node); });
  trees_->LoadSetup(this, options_);
  ReaderSession->SetGroup(trees_->AllSealsNode()->group.Get());
  PageControlChange();

  TDocumentHost documentHost;
  documentHost.SetModifiedText = [this](const std::string& text) {
    QMetaObject::invokeMethod(ModifiedPanel, [this, text] { ModifiedPanel->setText(QString::fromStdString(text)); });
  };
  documentHost.ShowBusyIcon = [this] { ShowBusyIcon(); };
  documentHost.HideBusyIcon = [this] { HideBusyIcon(); };
  documentHost.ShowError = [this](const std::string& text) {
    ShowMessageDlg(QString::fromStdString(text), TMsgDlgType::Error, platform::MB_OK);
  };
  document_ = std::make_unique<TZarnDocument>(documentHost);
  SetActionHost({document_.get(), ProgressBar, [this] { OperationEnded(); }});
  SetFileName({});
  if (!fileName.isEmpty()) OpenDatabase(fileName);
  Browser->setUrl(QUrl::fromLocalFile(HtmlPagePath(StartPage)));

  // The other forms, in this order, once the main window exists.
  AddSealForm = new TAddSealForm(this);
  AddInterfaceForm = new TAddInterfaceForm(this);
  UserForm = new TUserForm(this);
  AboutForm = new TAboutForm(this);
  GroupForm = new TGroupForm(this);
}

TMainForm::~TMainForm() {
  if (!setupSaved_) SaveSetupAtExit();
  SetActionHost({});
  platform::DestroyWindowHandle(handle_);
  ReaderSession.Reset();
}

// ---- layout ----

QWidget* TMainForm::CaptionedTab(const QString& caption, QWidget* view) {
  auto* tab = new QWidget;
  auto* strip = new QLabel(caption, tab);
  strip->setFixedHeight(18);
  strip->setContentsMargins(4, 0, 0, 0);
  QFont bold = strip->font();
  bold.setBold(true);
  strip->setFont(bold);
  strip->setStyleSheet("background: palette(highlight); color: palette(highlighted-text);");
  auto* layout = new QVBoxLayout(tab);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(strip);
  layout->addWidget(view, 1);
  return tab;
}

void TMainForm::BuildLayout() {
  SetupTreeView = new QTreeWidget;
  SetupTreeView->setObjectName("SetupTreeView");
  GroupTreeView = new QTreeWidget;
  GroupTreeView->setObjectName("GroupTreeView");
  DatabaseListView = new QListWidget;
  DatabaseListView->setObjectName("DatabaseListView");
  DatabaseListView->setSortingEnabled(true);
  DatabaseListView->setIconSize(QSize(25, 16));

  PageControl = new QTabWidget;
  PageControl->setObjectName("PageControl");
  PageControl->setTabPosition(QTabWidget::South);
  SetupTabSheet = CaptionedTab("Setup", SetupTreeView);
  SetupTabSheet->setObjectName("SetupTabSheet");
  GroupTabSheet = CaptionedTab("Group", GroupTreeView);
  GroupTabSheet->setObjectName("GroupTabSheet");
  DatabaseTabSheet = CaptionedTab("Database", DatabaseListView);
  DatabaseTabSheet->setObjectName("DatabaseTabSheet");
  PageControl->addTab(SetupTabSheet, "Setup");
  PageControl->addTab(GroupTabSheet, "Group");
  PageControl->addTab(DatabaseTabSheet, "Database");

  Browser = new QWebEngineView;
  Browser->setObjectName("Browser");
  // Pages of the html folder reach the session through the page bridge; no other page does.
  Browser->setPage(new TBrowserPage(QFileInfo(htmlFolder_).absoluteFilePath(), Browser,
                                    [this](const QUrl& url, bool history) { return AcceptNavigation(url, history); }));
  // The browser's own zoom keys, which the View menu's text sizes follow.
  for (const auto& [keys, step] : {std::pair{QKeySequence(QKeySequence::ZoomIn), +1}, {QKeySequence("Ctrl+="), +1},
                                   {QKeySequence(QKeySequence::ZoomOut), -1}, {QKeySequence("Ctrl+0"), 0}}) {
    auto* zoom = new QShortcut(keys, Browser, [this, step] { Browser->setZoomFactor(NextZoom(Browser->zoomFactor(), step)); });
    zoom->setContext(Qt::WidgetWithChildrenShortcut);
  }
  auto* splitter = new QSplitter;
  splitter->setHandleWidth(5);
  splitter->addWidget(PageControl);
  splitter->addWidget(Browser);
  splitter->setStretchFactor(1, 1);
  splitter->setSizes({200, 440});
  setCentralWidget(splitter);

  StatusBar = statusBar();
  StatusBar->setObjectName("StatusBar");
  ProgressBar = new QProgressBar;
  ProgressBar->setObjectName("ProgressBar");
  ProgressBar->setTextVisible(false);
  ProgressBar->setFixedWidth(150);
  ProgressBar->hide();
  auto* progressPanel = new QWidget;
  progressPanel->setFixedWidth(150);
  auto* progressLayout = new QHBoxLayout(progressPanel);
  progressLayout->setContentsMargins(0, 0, 0, 0);
  progressLayout->addWidget(ProgressBar);
  GlyphPanel = new QLabel;
  GlyphPanel->setObjectName("GlyphPanel");
  GlyphPanel->setFixedWidth(20);
  ModifiedPanel = new QLabel;
  ModifiedPanel->setObjectName("ModifiedPanel");
  ModifiedPanel->setFixedWidth(70);
  ModifiedPanel->setAlignment(Qt::AlignCenter);
  FileNamePanel = new QLabel;
  FileNamePanel->setObjectName("FileNamePanel");
  FileNamePanel->setMinimumWidth(50);
  KeysetAlertPanel = new QLabel;
  KeysetAlertPanel->setObjectName("KeysetAlertPanel");
  KeysetAlertPanel->setStyleSheet("color: #b00000;");
  KeysetAlertPanel->setMaximumWidth(300);
  KeysetAlertPanel->hide();
  StatusBar->addWidget(progressPanel);
  StatusBar->addWidget(GlyphPanel);
  StatusBar->addWidget(ModifiedPanel);
  StatusBar->addWidget(FileNamePanel, 1);
  StatusBar->addPermanentWidget(KeysetAlertPanel);

  // Clicks in the group tree and the list, Enter in all three views; the setup tree's
  // clicks come from its drag handling, which tells a click from a drag.
  GroupTreeView->viewport()->installEventFilter(this);
  DatabaseListView->viewport()->installEventFilter(this);
  for (QWidget* view : std::initializer_list<QWidget*>{SetupTreeView, GroupTreeView, DatabaseListView})
    view->installEventFilter(this);

  connect(PageControl, &QTabWidget::currentChanged, this, [this] { PageControlChange(); });
  connect(SetupTreeView, &QTreeWidget::currentItemChanged, this, [this] { SetupTreeViewChange(); });
  connect(GroupTreeView, &QTreeWidget::currentItemChanged, this, [this] { GroupTreeViewChange(); });
}

void TMainForm::BuildMenus() {
  FileMenu = menuBar()->addMenu("&File");
  FileMenu->setObjectName("FileMenu");
  NewMenuItem = Item(FileMenu, "NewMenuItem", "&New");
  OpenMenuItem = Item(FileMenu, "OpenMenuItem", "&Open...");
  SaveMenuItem = Item(FileMenu, "SaveMenuItem", "&Save");
  SaveAsMenuItem = Item(FileMenu, "SaveAsMenuItem", "Save &As...");
  FileMenu->addSeparator();
  PrintMenuItem = Item(FileMenu, "PrintMenuItem", "&Print");
  PrintPreviewMenuItem = Item(FileMenu, "PrintPreviewMenuItem", "Print Pre&view...");
  FileMenu->addSeparator();
  ExportSetupMenuItem = Item(FileMenu, "ExportSetupMenuItem", "&Export Setup...");
  ImportSetupMenuItem = Item(FileMenu, "ImportSetupMenuItem", "&Import Setup...");
  FileMenu->addSeparator();
  ExitMenuItem = Item(FileMenu, "ExitMenuItem", "E&xit");

  ViewMenu = menuBar()->addMenu("&View");
  ViewMenu->setObjectName("ViewMenu");
  ViewSetupMenuItem = Item(ViewMenu, "ViewSetupMenuItem", "&Setup");
  ViewGroupMenuItem = Item(ViewMenu, "ViewGroupMenuItem", "&Group");
  ViewDatabaseMenuItem = Item(ViewMenu, "ViewDatabaseMenuItem", "&Database");
  ViewMenu->addSeparator();
  QMenu* textSize = ViewMenu->addMenu("&Text Size");
  textSize->setObjectName("TextSizeMenuItem");
  LargestTextSizeMenuItem = Item(textSize, "LargestTextSizeMenuItem", "Largest");
  LargerTextSizeMenuItem = Item(textSize, "LargerTextSizeMenuItem", "Larger");
  MediumTextSizeMenuItem = Item(textSize, "MediumTextSizeMenuItem", "Medium");
  SmallerTextSizeMenuItem = Item(textSize, "SmallerTextSizeMenuItem", "Smaller");
  SmallestTextSizeMenuItem = Item(textSize, "SmallestTextSizeMenuItem", "Smallest");
  for (QAction* size : textSize->actions()) size->setCheckable(true);
  MediumTextSizeMenuItem->setChecked(true);
  connect(ViewMenu, &QMenu::aboutToShow, this, &TMainForm::ViewMenuShow);
  const QList<QAction*> sizes = textSize->actions();  // largest first
  for (int i = 0; i < sizes.size(); ++i)
    connect(sizes[i], &QAction::triggered, this, [this, level = int(sizes.size()) - 1 - i] { SetTextSize(level); });
  ViewMenu->addSeparator();
  ViewStartPageMenuItem = Item(ViewMenu, "ViewStartPageMenuItem", "Start &Page");

  SetupMenu = menuBar()->addMenu("&Setup");
  SetupMenu->setObjectName("SetupMenu");
  FindSealsMenuItem = Item(SetupMenu, "FindSealsMenuItem", "&Find Seals");
  AddSealMenuItem = Item(SetupMenu, "AddSealMenuItem", "&Add Seal...");
  RemoveSealMenuItem = Item(SetupMenu, "RemoveSealMenuItem", "&Remove Seal(s)...");
  SetupMenu->addSeparator();
  AddInterfaceMenuItem = Item(SetupMenu, "AddInterfaceMenuItem", "Add &Interface...");
  RemoveInterfaceMenuItem = Item(SetupMenu, "RemoveInterfaceMenuItem", "Remo&ve Interface...");

  GroupMenu = menuBar()->addMenu("&Group");
  GroupMenu->setObjectName("GroupMenu");
  CreateGroupMenuItem = Item(GroupMenu, "CreateGroupMenuItem", "&Create Group...");
  RemoveGroupMenuItem = Item(GroupMenu, "RemoveGroupMenuItem", "&Remove Group");
  GroupPropertiesMenuItem = Item(GroupMenu, "GroupPropertiesMenuItem", "&Properties...");

  OptionsMenu = menuBar()->addMenu("&Options");
  OptionsMenu->setObjectName("OptionsMenu");
  OperatorsMenuItem = Item(OptionsMenu, "OperatorsMenuItem", "&Operators...");
  OptionsMenu->addSeparator();
  AboutMenuItem = Item(OptionsMenu, "AboutMenuItem", "&About ZARN Reader");

  connect(NewMenuItem, &QAction::triggered, this, [this] { NewDatabase(); });
  connect(OpenMenuItem, &QAction::triggered, this, [this] { OpenDatabase({}); });
  connect(SaveMenuItem, &QAction::triggered, this, [this] { SaveDatabase(); });
  connect(SaveAsMenuItem, &QAction::triggered, this, [this] { SaveDatabaseAs({}); });
  connect(PrintMenuItem, &QAction::triggered, this, &TMainForm::PrintPage);
  connect(PrintPreviewMenuItem, &QAction::triggered, this, &TMainForm::PrintPreview);
  connect(ExportSetupMenuItem, &QAction::triggered, this, &TMainForm::ExportSetupMenuItemClick);
  connect(ImportSetupMenuItem, &QAction::triggered, this, &TMainForm::ImportSetupMenuItemClick);
  connect(ExitMenuItem, &QAction::triggered, this, &QWidget::close);
  connect(ViewSetupMenuItem, &QAction::triggered, this, [this] { PageControl->setCurrentWidget(SetupTabSheet); });
  connect(ViewGroupMenuItem, &QAction::triggered, this, [this] { PageControl->setCurrentWidget(GroupTabSheet); });
  connect(ViewDatabaseMenuItem, &QAction::triggered, this,
          [this] { PageControl->setCurrentWidget(DatabaseTabSheet); });
  connect(ViewStartPageMenuItem, &QAction::triggered, this,
          [this] { Browser->setUrl(QUrl::fromLocalFile(HtmlPagePath(StartPage))); });
  connect(FindSealsMenuItem, &QAction::triggered, this, &TMainForm::FindSealsMenuItemClick);
  connect(AddSealMenuItem, &QAction::triggered, this, &TMainForm::AddSealMenuItemClick);
  connect(RemoveSealMenuItem, &QAction::triggered, this, &TMainForm::RemoveSealMenuItemClick);
  connect(AddInterfaceMenuItem, &QAction::triggered, this, &TMainForm::AddInterfaceMenuItemClick);
  connect(RemoveInterfaceMenuItem, &QAction::triggered, this, &TMainForm::RemoveInterfaceMenuItemClick);
  connect(CreateGroupMenuItem, &QAction::triggered, this, &TMainForm::CreateGroupMenuItemClick);
  connect(RemoveGroupMenuItem, &QAction::triggered, this, &TMainForm::RemoveGroupMenuItemClick);
  connect(GroupPropertiesMenuItem, &QAction::triggered, this, &TMainForm::GroupPropertiesMenuItemClick);
  connect(OperatorsMenuItem, &QAction::triggered, this, &TMainForm::OperatorsMenuItemClick);
  connect(AboutMenuItem, &QAction::triggered, this, [this] { AboutForm->exec(); });
}

void TMainForm::BuildToolBar() {
  ToolBar = addToolBar("ToolBar");
  ToolBar->setObjectName("ToolBar");
  ToolBar->setMovable(false);
  ToolBar->setIconSize(QSize(20, 20));
  ToolBar->setToolButtonStyle(Qt::ToolButtonIconOnly);
  int picture = 0;
  auto button = [this, &picture](const char* name, const QString& hint) {
    QAction* action = ToolBar->addAction(QIcon(ReaderImages::ToolbarImage(picture++)), hint);
    action->setObjectName(name);
    action->setToolTip(hint);
    return action;
  };
  OpenToolbarButton = button("OpenToolbarButton", "Open a database file");
  SaveToolbarButton = button("SaveToolbarButton", "Save the database file");
  ToolBar->addSeparator();
  FindToolbarButton = button("FindToolbarButton", {});
  RemoveToolbarbutton = button("RemoveToolbarbutton", {});
  ToolBar->addSeparator();
  RefreshToolbarButton = button("RefreshToolbarButton", "Refresh the current page");
  CancelToolbarButton = button("CancelToolbarButton", "Cancel the current operation");
  BackToolbarButton = button("BackToolbarButton", "Navigate back");
  ForewardToolbarButton = button("ForewardToolbarButton", "Navigate foreward");
  PrintToolbarButton = button("PrintToolbarButton", "Print current page");

  connect(OpenToolbarButton, &QAction::triggered, OpenMenuItem, &QAction::trigger);
  connect(SaveToolbarButton, &QAction::triggered, SaveMenuItem, &QAction::trigger);
  connect(FindToolbarButton, &QAction::triggered, this, &TMainForm::FindSealsMenuItemClick);
  connect(RemoveToolbarbutton, &QAction::triggered, RemoveSealMenuItem, &QAction::trigger);
  connect(RefreshToolbarButton, &QAction::triggered, this, [this] {
    if (!ActionBusy) Browser->reload();
  });
  connect(CancelToolbarButton, &QAction::triggered, this, [this] { ReaderSession->Cancel(); });
  connect(BackToolbarButton, &QAction::triggered, Browser, &QWebEngineView::back);
  connect(ForewardToolbarButton, &QAction::triggered, Browser, &QWebEngineView::forward);
  connect(PrintToolbarButton, &QAction::triggered, this, &TMainForm::PrintPage);
  // The history has changed when a load ends or the address changes within a page.
  connect(Browser, &QWebEngineView::loadFinished, this, &TMainForm::ReleaseUnreachableSubjects);
  connect(Browser, &QWebEngineView::urlChanged, this, &TMainForm::ReleaseUnreachableSubjects);
  connect(Browser, &QWebEngineView::printFinished, this, [this](bool printed) {
    if (!printer_) return;  // the preview's painting
    printer_.reset();
    if (!printed) ShowMessageDlg("The page could not be printed.", TMsgDlgType::Error, platform::MB_OK);
  });
}

// ---- window messages ----

LRESULT TMainForm::WindowProcedure(UINT message, WPARAM, LPARAM lParam) {
  switch (message) {
    case WM_GETSESSION: {
      // One reference for the receiver, who releases it.
      IZarnReaderSession* session = ReaderSession.Get();
      session->AddRef();
      return LRESULT(session);
    }
    case WM_SHOWOPERATORS:
      if (options_.showDialog) UserForm->Execute(options_);
      return 0;
    case WM_SEALINDATABASE: {
      auto* item = new QListWidgetItem(QIcon(ReaderImages::TreeImage(SealImage)),
                                       QStringLiteral("ZARN S/N %1").arg(uint32_t(lParam)));
      item->setData(Qt::UserRole, uint32_t(lParam));
      DatabaseListView->addItem(item);
      return 0;
    }
    case WM_SEALLOGGEDON:
      SetSealState(uint32_t(lParam), LoggedOnStateImage);
      return 0;
    case WM_SEALLOGGEDOFF:
      SetSealState(uint32_t(lParam), IdleStateImage);
      return 0;
    case WM_SEALFOUND:
      SetSealState(uint32_t(lParam), FoundStateImage);
      return 0;
  }
  return 0;
}

void TMainForm::SetSealState(uint32_t serialNumber, int state) {
  QTreeWidgetItemIterator setup(SetupTreeView);
  for (; *setup; ++setup) {
    auto* node = static_cast<TTreeNode*>(*setup);
    if (node->ImageIndex() == SealImage && node->seal && node->seal->SerialNumber() == serialNumber)
      node->SetStateIndex(state);
  }
  QTreeWidgetItemIterator groups(GroupTreeView);
  for (; *groups; ++groups) {
    auto* entry = static_cast<TTreeNode*>(*groups);
    if (entry->ImageIndex() == SealImage && entry->sealNode && entry->sealNode->seal &&
        entry->sealNode->seal->SerialNumber() == serialNumber)
      entry->SetStateIndex(state);
  }
}

// ---- status bar ----

int TMainForm::ShowMessageDlg(const QString& text, TMsgDlgType type, unsigned buttons) {
  if (ReaderSession->IsSilent()) return platform::IDOK;  // nothing shown: unattended callers never block
  return MessageDlg(text, type, buttons);
}

void TMainForm::ShowBusyIcon() {
  QMetaObject::invokeMethod(GlyphPanel, [this] {
    GlyphPanel->setPixmap(ReaderImages::StateImage(BusyGlyphImage));
    GlyphPanel->repaint();
  });
}

void TMainForm::HideBusyIcon() {
  QMetaObject::invokeMethod(GlyphPanel, [this] { GlyphPanel->clear(); });
}

void TMainForm::SetFileName(const QString& name) {
  fileName_ = name;
  FileNamePanel->setText(name.isEmpty() ? Untitled : " " + name);
}

// ---- enabling rules ----

TTreeNode* TMainForm::SelectedSetupNode() const { return static_cast<TTreeNode*>(SetupTreeView->currentItem()); }
TTreeNode* TMainForm::SelectedGroupNode() const { return static_cast<TTreeNode*>(GroupTreeView->currentItem()); }

void TMainForm::PageControlChange() {
  const bool onSetup = PageControl->currentWidget() == SetupTabSheet;
  SetupMenu->setEnabled(onSetup);
  if (onSetup) {
    SetupTreeViewChange();
  } else {
    for (QAction* a : {FindSealsMenuItem, AddSealMenuItem, RemoveSealMenuItem, RemoveInterfaceMenuItem,
                       AddInterfaceMenuItem, FindToolbarButton, RemoveToolbarbutton})
      a->setEnabled(false);
  }
  const bool onGroup = PageControl->currentWidget() == GroupTabSheet;
  GroupMenu->setEnabled(onGroup);
  if (onGroup) {
    GroupTreeViewChange();
  } else {
    for (QAction* a : {CreateGroupMenuItem, RemoveGroupMenuItem, GroupPropertiesMenuItem}) a->setEnabled(false);
  }
}

void TMainForm::SetupTreeViewChange() {
  const TTreeNode* node = SelectedSetupNode();
  if (!node) return;
  const int image = node->ImageIndex();
  AddSealMenuItem->setEnabled(node->IsPort());
  FindSealsMenuItem->setEnabled(node->IsPort() || image == ComputerImage);
  FindToolbarButton->setEnabled(FindSealsMenuItem->isEnabled());
  RemoveInterfaceMenuItem->setEnabled(image == InterfaceImage);
  AddInterfaceMenuItem->setEnabled(true);
  RemoveSealMenuItem->setEnabled(image == SealImage || TSetupTrees::CountSealNodes(node) > 0);
  RemoveToolbarbutton->setEnabled(RemoveSealMenuItem->isEnabled());
}

void TMainForm::GroupTreeViewChange() {
  const TTreeNode* node = SelectedGroupNode();
  if (!node) return;
  const bool group = node->ImageIndex() == GroupImage && node != trees_->AllSealsNode();
  RemoveGroupMenuItem->setEnabled(group);
  GroupPropertiesMenuItem->setEnabled(group);
  CreateGroupMenuItem->setEnabled(true);
}

// ---- setup and group commands ----

void TMainForm::AddSealMenuItemClick() {
  TTreeNode* port = SelectedSetupNode();
  if (!port || !port->IsPort() || !AddSealForm->Execute(port->text(0))) return;
  SetupTreeView->setCurrentItem(trees_->AddSeal(AddSealForm->SealNumber(), port));
  port->setExpanded(true);
}

void TMainForm::RemoveSealMenuItemClick() {
  trees_->RemoveSeals(SelectedSetupNode());
  SetupTreeViewChange();
}

void TMainForm::AddInterfaceMenuItemClick() {
  if (AddInterfaceForm->Execute()) trees_->AddInterface(AddInterfaceForm->AddressEdit->text());
}

void TMainForm::RemoveInterfaceMenuItemClick() {
  trees_->RemoveInterface(SelectedSetupNode());
  SetupTreeViewChange();
}

void TMainForm::CreateGroupMenuItemClick() {
  TTreeNode* group = nullptr;
  if (!GroupForm->Execute(trees_->AllSealsNode(), group)) return;
  trees_->AddGroup(group, group->text(0));
  group->setExpanded(true);
  GroupTreeView->setCurrentItem(group);
}

void TMainForm::RemoveGroupMenuItemClick() {
  trees_->RemoveGroup(SelectedGroupNode());
  GroupTreeViewChange();
}

void TMainForm::GroupPropertiesMenuItemClick() {
  TTreeNode* group = SelectedGroupNode();
  if (!group || group->ImageIndex() != GroupImage || group == trees_->AllSealsNode()) return;
  GroupForm->Execute(trees_->AllSealsNode(), group);
  group->setExpanded(true);
}

void TMainForm::ExportSetupMenuItemClick() {
  TFileDialogRequest request;
  request.kind = TFileDialogRequest::Kind::Save;
  request.title = "Export Setup";
  request.filter = "ZARN Reader Setup File (*.zrn)|*.zrn|Any File (*.*)|*.*";
  request.defaultExtension = "zrn";
  const auto file = RunFileDialog(this, request);
  if (!file) return;
  ShowBusyIcon();
  trees_->ExportSetup(*file, this, options_);
  HideBusyIcon();
}

void TMainForm::ImportSetupMenuItemClick() {
  if (RefusedWhileBusy()) return;  // the trees hold what the running operation uses
  TFileDialogRequest request;
  request.title = "Import Setup";
  request.filter = "ZARN Reader Setup Files (*.zrn)|*.zrn|Any Files (*.*)|*.*";
  const auto file = RunFileDialog(this, request);
  if (file && trees_->ImportSetup(*file, this, options_)) {
    ReaderSession->SetGroup(trees_->AllSealsNode()->group.Get());
    PageControlChange();
  }
}

void TMainForm::OperatorsMenuItemClick() { UserForm->Execute(options_); }

// ---- the seal data document ----

QString TMainForm::HtmlPagePath(const QString& page) const { return QDir(htmlFolder_).filePath(page); }

bool TMainForm::RefusedWhileBusy() {
  if (!ActionBusy) return false;
  ShowMessageDlg("Another operation is running.", TMsgDlgType::Warning, platform::MB_OK);
  return true;
}

void TMainForm::ReloadDatabasePage() {
  // The page read the document that went; the session's SerialNumber stays, so it shows the same seal.
  const QUrl shown = Browser->url();
  if (shown.isLocalFile() && QFileInfo(shown.toLocalFile()) == QFileInfo(HtmlPagePath(DatabasePage))) Browser->reload();
}

void TMainForm::NewDatabase() {
  // The operation's worker writes the document.
  if (RefusedWhileBusy() || !QuerySave()) return;
  document_->NewDocument();
  SetFileName({});
  DatabaseListView->clear();
  ReloadDatabasePage();
}

bool TMainForm::OpenDatabase(const QString& fileName) {
  if (RefusedWhileBusy() || !QuerySave()) return false;
  QString name = fileName;
  if (name.isEmpty()) {
    TFileDialogRequest request;
    request.title = "Open";
    request.filter = "Seal Data Files (*.zrd, *.xml)|*.zrd;*.xml|Any Files (*.*)|*.*";
    const auto chosen = RunFileDialog(this, request);
    if (!chosen) return false;
    name = *chosen;
  }
  DatabaseListView->clear();
  SetFileName(name);
  const bool opened = document_->LoadFromFile(name.toStdString());
  if (!opened) {
    document_->NewDocument();
    SetFileName({});
  }
  ReloadDatabasePage();
  return opened;
}

bool TMainForm::SaveDatabase() {
  if (fileName_.isEmpty()) return SaveDatabaseAs({});
  return SaveDocumentTo(fileName_);
}

bool TMainForm::SaveDocumentTo(const QString& fileName) {
  const bool withViews = QFileInfo(fileName).suffix().toUpper() == "XML";
  return document_->SaveToFile(fileName.toStdString(), withViews);
}

bool TMainForm::SaveDatabaseAs(const QString& fileName) {
  QString name = fileName;
  if (name.isEmpty()) {
    TFileDialogRequest request;
    request.kind = TFileDialogRequest::Kind::Save;
    request.title = "Save As";
    request.filter = "Encrypted Seal Data File (*.zrd)|*.zrd|Unencrypted Seal Data File (*.xml)|*.xml";
    request.defaultExtension = "zrd";
    for (const QString& op : {options_.operator1, options_.operator2})
      if (!op.isEmpty()) request.fileName += op + "-";
    request.fileName += QDateTime::currentDateTime().toString("yyyyMMdd-HHmmss");
    const auto chosen = RunFileDialog(this, request);
    if (!chosen) return false;
    name = *chosen;
  }
  // The document is named after a file it was saved to: a failed save keeps the name it had.
  if (!SaveDocumentTo(name)) return false;
  SetFileName(name);
  return true;
}

// ---- pages ----

void TMainForm::TellSession(const TPageSubject& subject) {
  switch (subject.kind) {
    case TPageSubject::Kind::Seal: ReaderSession->SetSeal(subject.object.Get()); break;
    case TPageSubject::Kind::Group: ReaderSession->SetGroup(subject.object.Get()); break;
    case TPageSubject::Kind::Database: ReaderSession->SetSerialNumber(subject.serialNumber); break;
  }
}

void TMainForm::ShowPage(const QString& page, const TPageSubject& subject) {
  const QString path = HtmlPagePath(page);
  if (!QFileInfo::exists(path)) return;
  // An address of its own for each opening: the history keeps each as an entry, and knows
  // what each was opened for when it is shown again.
  const int number = pageSubjects_.empty() ? 1 : pageSubjects_.rbegin()->first + 1;
  pageSubjects_.emplace(number, subject);
  QUrl url = QUrl::fromLocalFile(path);
  url.setQuery(QUrlQuery({{PageNumberItem, QString::number(number)}}));
  Browser->setUrl(url);
}

bool TMainForm::AcceptNavigation(const QUrl& url, bool throughHistory) {
  if (throughHistory && ActionBusy) return false;  // as Refresh: the running operation's page stays
  if (!url.isLocalFile()) return true;
  const auto subject = pageSubjects_.find(PageNumberOf(url));
  if (subject != pageSubjects_.end()) TellSession(subject->second);
  return true;
}

void TMainForm::ReleaseUnreachableSubjects() {
  std::set<int> reachable;
  for (const QWebEngineHistoryItem& item : Browser->history()->items()) reachable.insert(PageNumberOf(item.url()));
  // The newest opening may still be on its way into the history; it also numbers the next.
  const int newest = pageSubjects_.empty() ? 0 : pageSubjects_.rbegin()->first;
  std::erase_if(pageSubjects_, [&](const auto& entry) { return entry.first != newest && !reachable.count(entry.first); });
}

void TMainForm::ShowSealPage(IZarnReaderSeal* seal) {
  if (ActionBusy) return;  // the page would start a second operation on the seal
  const TPageSubject subject{TPageSubject::Kind::Seal, seal};
  TellSession(subject);
  ShowPage(SealPage, subject);
}

void TMainForm::ShowGroupPage(IZarnReaderSealGroup* group) {
  const TPageSubject subject{TPageSubject::Kind::Group, group};
  TellSession(subject);
  ShowPage(GroupPage, subject);
}

void TMainForm::ShowDatabasePage(uint32_t serialNumber) {
  const TPageSubject subject{TPageSubject::Kind::Database, nullptr, int32_t(serialNumber)};
  TellSession(subject);
  ShowPage(DatabasePage, subject);
}

void TMainForm::OpenPageOf(const TTreeNode* node) {
  if (!node) return;
  if (node->ImageIndex() == GroupImage && node->group) {
    ShowGroupPage(node->group.Get());
  } else if (node->ImageIndex() == SealImage) {
    const TTreeNode* sealNode = node->sealNode ? node->sealNode : node;  // a group entry stands for a seal node
    if (sealNode->seal) ShowSealPage(sealNode->seal.Get());
  }
}

void TMainForm::OpenPageOf(const QListWidgetItem* item) {
  if (item) ShowDatabasePage(item->data(Qt::UserRole).toUInt());
}

void TMainForm::OpenSelectedPage(QObject* view) {
  if (view == DatabaseListView) {
    const QList<QListWidgetItem*> selected = DatabaseListView->selectedItems();
    if (!selected.isEmpty()) OpenPageOf(selected.front());
    return;
  }
  const QList<QTreeWidgetItem*> selected = static_cast<QTreeWidget*>(view)->selectedItems();
  if (!selected.isEmpty()) OpenPageOf(static_cast<const TTreeNode*>(selected.front()));
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key != Qt::Key_Return && key != Qt::Key_Enter) return false;
    OpenSelectedPage(watched);
    return true;  // consumed, page or not
  }
  if (event->type() != QEvent::MouseButtonPress && event->type() != QEvent::MouseButtonRelease) return false;
  auto* mouse = static_cast<QMouseEvent*>(event);
  if (mouse->button() != Qt::LeftButton) return false;
  const QPoint pos = mouse->position().toPoint();
  const bool down = event->type() == QEvent::MouseButtonPress;
  // Only pointers are compared: a node deleted meanwhile is no longer under the mouse.
  if (watched == GroupTreeView->viewport()) {
    auto* under = static_cast<TTreeNode*>(GroupTreeView->itemAt(pos));
    if (down) {
      MouseDownNode = under;
    } else {
      const bool click = under && under == MouseDownNode;
      MouseDownNode = nullptr;
      if (click) OpenPageOf(under);
    }
  } else if (watched == DatabaseListView->viewport()) {
    QListWidgetItem* under = DatabaseListView->itemAt(pos);
    if (down) {
      MouseDownItem = under;
    } else {
      const bool click = under && under == MouseDownItem;
      MouseDownItem = nullptr;
      if (click) OpenPageOf(under);
    }
  }
  return false;
}

// ---- browser commands ----

int TMainForm::TextSize() const {
  const qreal zoom = Browser->zoomFactor();
  for (int level = 0; level < int(std::size(TextSizeZoom)); ++level)
    if (std::abs(zoom - TextSizeZoom[level]) < 0.005) return level;
  return -1;
}

void TMainForm::SetTextSize(int level) { Browser->setZoomFactor(TextSizeZoom[level]); }

qreal TMainForm::NextZoom(qreal zoom, int step) {
  // The levels browsers zoom by; the five text sizes are among them.
  static constexpr qreal Levels[] = {0.25, 0.33, 0.5, 0.67, 0.75, 0.8, 0.9, 1.0, 1.1, 1.25, 1.5, 1.75, 2.0, 2.5, 3.0, 4.0, 5.0};
  if (step > 0) {
    for (qreal level : Levels)
      if (level > zoom + 0.005) return level;
    return zoom;
  }
  if (step < 0) {
    for (auto level = std::rbegin(Levels); level != std::rend(Levels); ++level)
      if (*level < zoom - 0.005) return *level;
    return zoom;
  }
  return 1.0;
}

void TMainForm::ViewMenuShow() {
  QAction* const items[] = {SmallestTextSizeMenuItem, SmallerTextSizeMenuItem, MediumTextSizeMenuItem,
                            LargerTextSizeMenuItem, LargestTextSizeMenuItem};
  for (QAction* item : items) item->setChecked(false);
  if (const int level = TextSize(); level >= 0) items[level]->setChecked(true);
}

void TMainForm::PrintPage() {
  if (printer_) return;  // the page is still being printed
  const QPrinterInfo printer = QPrinterInfo::defaultPrinter();
  if (printer.isNull()) {
    ShowMessageDlg("No printer is set up.", TMsgDlgType::Error, platform::MB_OK);
    return;
  }
  printer_ = std::make_unique<QPrinter>(printer);
  Browser->print(printer_.get());
}

void TMainForm::PrintPreview() {
  if (printer_) return;  // the browser prints one thing at a time
  QPrinter printer;
  QPrintPreviewDialog dialog(&printer, this);
  dialog.setObjectName("PrintPreviewDialog");
  // The preview wants the pages painted when paintRequested returns. The browser ignores a
  // print asked for while one runs, and the preview's printer breaks when it is asked to
  // repaint in the middle: the preview takes no input while it paints (what the user does
  // meanwhile comes after it), and a repaint asked for otherwise is done once it is over.
  bool painting = false, again = false;
  connect(&dialog, &QPrintPreviewDialog::paintRequested, this, [&](QPrinter* target) {
    if (painting) {
      again = true;
      return;
    }
    painting = true;
    dialog.setEnabled(false);
    QEventLoop printed;
    connect(Browser, &QWebEngineView::printFinished, &printed, &QEventLoop::quit);
    connect(Browser->page(), &QWebEnginePage::renderProcessTerminated, &printed, &QEventLoop::quit);
    Browser->print(target);
    printed.exec(QEventLoop::ExcludeUserInputEvents);
    dialog.setEnabled(true);
    painting = false;
    if (std::exchange(again, false))
      QMetaObject::invokeMethod(dialog.findChild<QPrintPreviewWidget*>(), &QPrintPreviewWidget::updatePreview,
                                Qt::QueuedConnection);
  });
  dialog.exec();
}

// ---- closing ----

void TMainForm::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (event->spontaneous()) return;
  setupSaved_ = false;  // shown again, the session goes on
  PostMessage(handle_, WM_SHOWOPERATORS, 0, 0);
}

void TMainForm::OperationEnded() {
  ShowKeysetAlerts();
  if (closePending_) {
    closePending_ = false;
    QTimer::singleShot(0, this, &QWidget::close);
  }
}

void TMainForm::closeEvent(QCloseEvent* event) {
  event->ignore();
  if (ActionBusy) {
    // Closing inside the operation's wait would pull the window and the document from
    // under it: the close is carried out once the wait has ended.
    closePending_ = true;
    return;
  }
  if (!FileMenu->isEnabled()) return;  // a close is already asking its questions
  FileMenu->setEnabled(false);
  ToolBar->setEnabled(false);
  if (QueryLogOff() && QuerySave()) {
    SaveSetupAtExit();  // said while the window is still there
    event->accept();
    return;
  }
  FileMenu->setEnabled(true);
  ToolBar->setEnabled(true);
}

void TMainForm::SaveSetupAtExit() {
  setupSaved_ = true;
  QString failure;
  if (!trees_->SaveSetup(this, options_, &failure))
    ShowMessageDlg("The setup could not be saved: " + failure +
                       ".\rThe network interfaces, seals, groups, operators and window placement of this session "
                       "are lost.",
                   TMsgDlgType::Error, platform::MB_OK);
}

bool TMainForm::QueryLogOff() {
  int loggedOn = 0;
  QTreeWidgetItemIterator it(SetupTreeView);
  for (; *it; ++it) {
    auto* node = static_cast<TTreeNode*>(*it);
    loggedOn += node->ImageIndex() == SealImage && node->seal && node->seal->LoggedOn();
  }
  if (loggedOn == 0) return true;
  const int answer = ShowMessageDlg(loggedOn == 1 ? "You are logged on to a seal. Do you want to log off now?"
                                                  : "You are logged on to seals. Do you want to log off now?",
                                    TMsgDlgType::Confirmation, platform::MB_YESNOCANCEL);
  if (answer == platform::IDNO) return true;
  if (answer != platform::IDYES) return false;
  while (!LogOffAllSeals()) {
    const int retry = ShowMessageDlg("Log off failed. Retry?", TMsgDlgType::Confirmation, platform::MB_YESNOCANCEL);
    if (retry == platform::IDCANCEL) return false;
    if (retry == platform::IDNO) return true;
  }
  return true;
}

bool TMainForm::QuerySave() {
  if (!document_->Modified()) return true;
  const int answer = ShowMessageDlg("The contents of the database has changed.\rDo you want to save the changes?",
                                    TMsgDlgType::Confirmation, platform::MB_YESNOCANCEL);
  if (answer == platform::IDCANCEL) return false;
  if (answer == platform::IDYES) return SaveDatabase();
  return true;
}

bool TMainForm::LogOffAllSeals() {
  std::vector<TActionParams> records;
  for (int i = 0; i < trees_->RootNode()->childCount(); ++i) {
    TTreeNode* port = trees_->RootNode()->Child(i);
    TActionParams record;
    record.Port = port->port;
    for (int k = 0; k < port->childCount(); ++k) {
      const TTreeNode* seal = port->Child(k);
      if (seal->seal && seal->seal->LoggedOn()) record.Seals.push_back(seal->seal->NativeSeal());
    }
    if (!record.Seals.empty()) records.push_back(std::move(record));
  }
  std::vector<TActionParams*> list;
  for (auto& r : records) list.push_back(&r);
  if (!RunActionOnAll(LogoffAllThread, list)) return false;  // another operation runs
  for (const auto& r : records)
    if (r.Result != 0) return false;
  return true;
}

void TMainForm::ShowKeysetAlerts() {
  QStringList alerts;
  QTreeWidgetItemIterator it(SetupTreeView);
  for (; *it; ++it) {
    auto* node = static_cast<TTreeNode*>(*it);
    if (node->ImageIndex() != SealImage || !node->seal) continue;
    const QString alert = QString::fromStdString(platform::Cp1252ToUtf8(node->seal->KeysetAlert()));
    node->setToolTip(0, alert);
    node->setForeground(0, alert.isEmpty() ? QBrush() : QBrush(QColor(0xB0, 0, 0)));
    if (!alert.isEmpty()) alerts << alert;
  }
  // The first alert, cut to the panel; every alert whole in its tip.
  KeysetAlertPanel->setText(alerts.isEmpty() ? QString()
                                             : KeysetAlertPanel->fontMetrics().elidedText(
                                                   alerts.front(), Qt::ElideRight, KeysetAlertPanel->maximumWidth()));
  KeysetAlertPanel->setToolTip(alerts.join("\n\n"));
  KeysetAlertPanel->setVisible(!alerts.isEmpty());
}

// ---- finding seals ----

std::vector<TTreeNode*> TMainForm::PortsToSearch() const {
  TTreeNode* node = SelectedSetupNode();
  if (node == trees_->RootNode()) {
    std::vector<TTreeNode*> ports;
    for (int i = 0; i < node->childCount(); ++i) ports.push_back(node->Child(i));
    return ports;
  }
  if (node && node->IsPort()) return {node};
  return {};
}

void TMainForm::FindSealsMenuItemClick() { FindSeals(false); }

TMainForm::TFindOutcome TMainForm::FindSeals(bool replacing) {
  TFindOutcome outcome;
  // A refused search merges nothing: an empty list would mark every seal not found.
  if (RefusedWhileBusy()) {
    outcome.refused = true;
    return outcome;
  }
  const std::vector<TTreeNode*> ports = PortsToSearch();
  if (ports.empty()) return outcome;
  std::vector<TActionParams> records(ports.size());
  std::vector<TActionParams*> list;
  // Taken before the search, which moves the seals it finds under the port they answered on.
  std::vector<std::vector<ComPtr<TZarnReaderSeal>>> replaced(ports.size());
  for (size_t i = 0; i < ports.size(); ++i) {
    records[i].Port = ports[i]->port;
    list.push_back(&records[i]);
    outcome.ports << ports[i]->text(0);
    if (replacing) replaced[i] = trees_->SealsOf(ports[i]);
  }
  bool ran = false;
  try {
    // False only when refused: a port's failure is in its record.
    ran = RunActionOnAll(FindSealsThread, list);
  } catch (...) {
  }
  if (!ran) {
    outcome.refused = true;
    return outcome;
  }
  outcome.canceled = ActionCanceled;
  // A port that failed, or a cancel, leaves its seals as they were: the search did not end there.
  const auto toItsEnd = [&](size_t i) { return !outcome.canceled && records[i].Result == 0; };
  std::vector<uint32_t> found;
  QStringList failures;
  for (size_t i = 0; i < ports.size(); ++i) {
    if (records[i].Result != 0)
      failures << outcome.ports[int(i)] + ": " + QString::fromStdString(ErrorText(records[i].Result));
    // The ports may have gone while the search ran (an interface removed meanwhile).
    if (trees_->RootNode()->indexOfChild(ports[i]) < 0) continue;
    MergeFoundSeals(ports[i], records[i].FoundSeals, toItsEnd(i));
    const uint32_t* seals = records[i].FoundSeals;
    found.insert(found.end(), seals, std::find(seals, seals + 32, 0u));
  }
  for (size_t i = 0; i < ports.size(); ++i)
    if (toItsEnd(i)) trees_->RemoveSealsNotFound(replaced[i], found);
  if (!failures.isEmpty()) {
    outcome.failure = failures.join('\r');
    ShowMessageDlg(outcome.failure, TMsgDlgType::Error, platform::MB_OK);
  }
  return outcome;
}

void TMainForm::MergeFoundSeals(TTreeNode* port, const uint32_t found[32], bool toItsEnd) {
  const uint32_t* end = std::find(found, found + 32, 0u);
  for (const uint32_t* serial = found; serial != end; ++serial) trees_->AddSeal(*serial, port);
  SetupTreeView->expandItem(port);
  std::vector<std::pair<uint32_t, int>> states;
  for (int i = 0; i < port->childCount(); ++i) {
    const TTreeNode* node = port->Child(i);
    if (node->ImageIndex() != SealImage || !node->seal) continue;
    uint32_t address = 0;
    node->seal->get_Address(&address);
    if (address == 0) continue;  // "Any Seal" keeps its state
    // A search cut short drops its list: the found image it gave each seal as it answered tells.
    const bool wasFound = std::find(found, end, address) != end ||
                          (!toItsEnd && node->StateIndex() == FoundStateImage);
    if (!wasFound && !toItsEnd) continue;  // not asked to the end: keeps its state
    states.emplace_back(address, !wasFound ? NotFoundStateImage
                                 : node->seal->LoggedOn() ? LoggedOnStateImage
                                                          : IdleStateImage);
  }
  for (const auto& [address, state] : states) SetSealState(address, state);
}

TMainForm::TFindOutcome TMainForm::FindSealsOnPort(const QString& name) {
  // Refused before the selection moves.
  if (RefusedWhileBusy()) {
    TFindOutcome refused;
    refused.refused = true;
    return refused;
  }
  TTreeNode* node = trees_->RootNode();
  for (int i = 0; i < node->childCount(); ++i) {
    if (node->Child(i)->text(0) == name) {
      node = node->Child(i);
      break;
    }
  }
  SetupTreeView->setCurrentItem(node);
  // The search replaces the node's seals; one it finds again stays as it is, logged on or not.
  const TFindOutcome outcome = FindSeals(true);
  SetupTreeViewChange();
  return outcome;
}
