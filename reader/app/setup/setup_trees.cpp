#include "setup_trees.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMouseEvent>
#include <QScreen>
#include <algorithm>
#include <optional>
#include <vector>

#include "cp1252.h"
#include "message_box.h"
#include "message_dlg.h"
#include "port_map.h"
#include "registry.h"
#include "registry_store.h"
#include "whole_captions.h"

namespace {

using platform::reg::Key;
using platform::reg::Value;

constexpr int MaxComPort = 256;
constexpr int DefaultTop = 0, DefaultLeft = 0, DefaultHeight = 460, DefaultWidth = 640;
const char* const SettingsPath[] = {"Software", "Halvec", "ZARN", "2.0"};

QString FromRegistryText(const std::string& text) {
  return QString::fromStdString(platform::Cp1252ToUtf8(text));
}

std::string ToRegistryText(const QString& text) { return platform::Utf8ToCp1252(text.toStdString()); }

std::optional<int32_t> ReadInteger(const Key* key, const char* name) {
  const Value* v = key ? key->FindValue(name) : nullptr;
  if (!v || v->type != REG_DWORD || v->data.size() != 4) return std::nullopt;
  uint32_t n = 0;
  for (int i = 3; i >= 0; --i) n = (n << 8) | uint8_t(v->data[i]);
  return int32_t(n);
}

std::optional<std::string> ReadString(const Key* key, const char* name) {
  const Value* v = key ? key->FindValue(name) : nullptr;
  if (!v || v->type != REG_SZ) return std::nullopt;
  return v->data;
}

std::vector<uint32_t> ReadSeals(const Key* key) {
  std::vector<uint32_t> seals;
  for (int k = 1;; ++k) {
    auto n = ReadInteger(key, ("Seal" + std::to_string(k)).c_str());
    if (!n) break;
    seals.push_back(uint32_t(*n));
  }
  return seals;
}

void WriteInteger(Key& key, const std::string& name, int32_t value) {
  auto n = uint32_t(value);
  std::string data{char(n & 0xFF), char((n >> 8) & 0xFF), char((n >> 16) & 0xFF), char(n >> 24)};
  key.values.push_back({name, REG_DWORD, data});
}

void WriteString(Key& key, const std::string& name, const std::string& value) {
  key.values.push_back({name, REG_SZ, value});
}

void WriteSeals(Key& key, const std::vector<uint32_t>& seals) {
  for (size_t k = 0; k < seals.size(); ++k) WriteInteger(key, "Seal" + std::to_string(k + 1), int32_t(seals[k]));
}

// The registry of the current user as the store holds it now, and the settings key in it
// (null when it does not exist).
struct SettingsSnapshot {
  Key tree;
  const Key* settings = nullptr;

  SettingsSnapshot() {
    if (platform::reg::ReadStore(platform::reg::Root::CurrentUser, tree) != ERROR_SUCCESS) return;
    const Key* key = &tree;
    for (const char* segment : SettingsPath)
      if (!(key = key->Find(segment))) return;
    settings = key;
  }
};

// The window's outer frame rectangle in its normal state.
QRect NormalFrameRect(const QWidget* window) {
  const QRect client = window->isMaximized() || window->isMinimized() ? window->normalGeometry()
                                                                       : window->geometry();
  const QRect frame = window->frameGeometry(), inner = window->geometry();
  return client.adjusted(frame.left() - inner.left(), frame.top() - inner.top(), frame.right() - inner.right(),
                         frame.bottom() - inner.bottom());
}

void PlaceWindow(QWidget* window, QRect frame) {
  window->winId();  // the native window knows its frame's margins
  bool visible = false;
  for (QScreen* screen : QGuiApplication::screens())
    if (screen->geometry().intersects(frame)) visible = true;
  if (!visible && QGuiApplication::primaryScreen())
    frame.moveTopLeft(QGuiApplication::primaryScreen()->availableGeometry().topLeft());
  const QRect outer = window->frameGeometry(), inner = window->geometry();
  window->move(frame.topLeft());
  window->resize(std::max(0, frame.width() - (outer.width() - inner.width())),
                 std::max(0, frame.height() - (outer.height() - inner.height())));
}

// Why the registry did not take a change, in words the operator can act on.
QString StoreFailure(LSTATUS result) {
  const QString folder = QString::fromStdString(platform::RegistryDirectory());
  const QString file = QString::fromStdString(platform::reg::StoreFile(platform::reg::Root::CurrentUser));
  switch (result) {
    case ERROR_BADDB: return QStringLiteral("the registry file %1 is damaged").arg(file);
    case ERROR_READ_FAULT: return QStringLiteral("the registry file %1 cannot be read").arg(file);
    case ERROR_ACCESS_DENIED: return QStringLiteral("access to the registry folder %1 is denied").arg(folder);
    case ERROR_DISK_FULL: return QStringLiteral("the disk is full");
    case ERROR_REGISTRY_QUOTA_LIMIT:
      return QStringLiteral("the registry file %1 would pass its size limit of %2 MB")
          .arg(file)
          .arg(platform::reg::MaxStoreFile >> 20);
    default: return QStringLiteral("the registry folder %1 cannot be written").arg(folder);
  }
}

bool Confirm(const QString& text) {
  return MessageDlg(text, TMsgDlgType::Confirmation, platform::MB_YESNO) != platform::IDNO;
}

}  // namespace

QString SealCaption(uint32_t address) {
  return address == 0 ? QStringLiteral("Any Seal") : QStringLiteral("ZARN S/N %1").arg(address);
}

TSetupTrees::TSetupTrees(QTreeWidget* setupTree, QTreeWidget* groupTree, QObject* parent)
    : QObject(parent), setupTree_(setupTree), groupTree_(groupTree), viewport_(setupTree->viewport()) {
  for (QTreeWidget* tree : {setupTree_, groupTree_}) {
    tree->setHeaderHidden(true);
    tree->setColumnCount(1);
    tree->setIndentation(28);
    tree->setIconSize(QSize(41, 16));
    tree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    new TWholeCaptions(tree);
  }
  setupTree_->setRootIsDecorated(false);
  groupTree_->setRootIsDecorated(true);
  viewport_->installEventFilter(this);
}

TTreeNode* TSetupTrees::AddTreeNode(QTreeWidget* tree, const QString& text, TTreeNode* parent, int image) {
  return parent ? new TTreeNode(parent, text, image) : new TTreeNode(tree, text, image);
}

TTreeNode* TSetupTrees::FindSealNode(uint32_t address) const {
  if (address == 0 || !allSeals_) return nullptr;
  for (int i = 0; i < allSeals_->childCount(); ++i) {
    TTreeNode* sealNode = allSeals_->Child(i)->sealNode;
    if (sealNode && sealNode->address == address) return sealNode;
  }
  return nullptr;
}

TTreeNode* TSetupTrees::AddSeal(uint32_t address, TTreeNode* port) {
  if (TTreeNode* existing = FindSealNode(address)) {
    if (existing->ParentNode() != port) MoveSeal(existing, port);
    return existing;
  }
  const QString text = SealCaption(address);
  TTreeNode* node = AddTreeNode(setupTree_, text, port, SealImage);
  node->SetStateIndex(IdleStateImage);
  node->address = address;
  node->seal = TZarnReaderSeal::Create(address, node, options_);
  port->sortChildren(0, Qt::AscendingOrder);
  if (address != 0) {
    TTreeNode* entry = AddTreeNode(groupTree_, text, allSeals_, SealImage);
    entry->SetStateIndex(IdleStateImage);
    entry->sealNode = node;
  }
  return node;
}

void TSetupTrees::MoveSeal(TTreeNode* seal, TTreeNode* port) {
  TTreeNode* from = seal->ParentNode();
  if (from == port) return;
  from->takeChild(from->indexOfChild(seal));
  port->addChild(seal);
  port->sortChildren(0, Qt::AscendingOrder);
  port->setExpanded(true);
}

TTreeNode* TSetupTrees::AddInterface(const QString& address) {
  TTreeNode* node = AddTreeNode(setupTree_, address, root_, InterfaceImage);
  node->port = std::make_shared<TEthernetPort>(address.toStdString(), portTimeout_);
  root_->sortChildren(0, Qt::AscendingOrder);
  AddSeal(0, node);
  node->setExpanded(true);
  return node;
}

TTreeNode* TSetupTrees::AddGroup(TTreeNode* node, const QString& name) {
  if (!node) node = AddTreeNode(groupTree_, name, nullptr, GroupImage);
  if (!node->group) node->group = TZarnReaderSealGroup::Create(node);
  return node;
}

void TSetupTrees::DeleteEntriesOf(const TTreeNode* sealNode) {
  for (int g = 0; g < groupTree_->topLevelItemCount(); ++g) {
    auto* group = static_cast<TTreeNode*>(groupTree_->topLevelItem(g));
    for (int i = group->childCount() - 1; i >= 0; --i)
      if (group->Child(i)->sealNode == sealNode) delete group->Child(i);
  }
}

void TSetupTrees::DeleteSealNode(TTreeNode* node) {
  DeleteEntriesOf(node);
  if (mouseDownNode_ == node) mouseDownNode_ = nullptr;
  delete node;
}

int TSetupTrees::CountSealNodes(const TTreeNode* node) {
  int count = 0;
  for (int i = 0; i < node->childCount(); ++i) {
    const TTreeNode* child = node->Child(i);
    count += child->ImageIndex() == SealImage ? 1 : CountSealNodes(child);
  }
  return count;
}

void TSetupTrees::DeleteInterfaceNode(TTreeNode* node) {
  while (node->childCount() > 0) DeleteSealNode(node->Child(0));
  if (mouseDownNode_ == node) mouseDownNode_ = nullptr;
  delete node;
}

void TSetupTrees::ProbeComPorts() {
  // A port is listed when its device exists, also while another program holds it.
  const platform::PortMap map = platform::PortMap::Load();
  for (unsigned n = 1; n <= MaxComPort; ++n) {
    auto entry = map.Find(n);
    if (!entry || !platform::DevicePresent(entry->device)) continue;
    TTreeNode* node = AddTreeNode(setupTree_, QStringLiteral("COM%1").arg(n), root_, ComPortImage);
    node->port = std::make_shared<TSerialPort>(n, portTimeout_);
  }
  root_->sortChildren(0, Qt::AscendingOrder);
}

void TSetupTrees::LoadSetup(QWidget* window, ReaderOptions& options) {
  options_ = &options;
  root_ = AddTreeNode(setupTree_, QStringLiteral("This Computer"), nullptr, ComputerImage);
  setupTree_->setCurrentItem(root_);
  allSeals_ = AddGroup(nullptr, QStringLiteral("All Seals"));
  groupTree_->setCurrentItem(allSeals_);
  ProbeComPorts();

  const SettingsSnapshot snapshot;
  const Key* key = snapshot.settings;
  auto top = ReadInteger(key, "Top"), left = ReadInteger(key, "Left");
  auto height = ReadInteger(key, "Height"), width = ReadInteger(key, "Width"), state = ReadInteger(key, "State");
  // The placement counts only whole: with any of its five values missing the window takes
  // the default, in the normal state.
  if (top && left && height && width && state) {
    PlaceWindow(window, QRect(*left, *top, *width, *height));
    window->setWindowState(*state == 2 ? Qt::WindowMaximized : *state == 1 ? Qt::WindowMinimized : Qt::WindowNoState);
  } else {
    PlaceWindow(window, QRect(DefaultLeft, DefaultTop, DefaultWidth, DefaultHeight));
  }

  options.operator1 = FromRegistryText(ReadString(key, "Operator1").value_or(""));
  options.operator2 = FromRegistryText(ReadString(key, "Operator2").value_or(""));
  if (auto show = ReadInteger(key, "ShowDialog")) {
    options.showDialog = *show != 0;
    if (auto expert = ReadInteger(key, "ExpertMode")) options.expertMode = *expert != 0;
  }

  const Key* setup = key ? key->Find("Setup") : nullptr;
  for (int i = 0; i < root_->childCount(); ++i) {
    TTreeNode* port = root_->Child(i);
    if (port->ImageIndex() != ComPortImage || !setup) continue;
    if (const Key* portKey = setup->Find(port->text(0).toStdString()))
      for (uint32_t address : ReadSeals(portKey))
        if (address != 0) AddSeal(address, port);
  }
  for (int i = 1; setup; ++i) {
    const Key* interfaceKey = setup->Find("Interface" + std::to_string(i));
    if (!interfaceKey) break;
    const std::string address = ReadString(interfaceKey, "Address").value_or("");
    if (address.empty()) continue;
    TTreeNode* port = AddInterface(FromRegistryText(address));
    for (uint32_t seal : ReadSeals(interfaceKey))
      if (seal != 0) AddSeal(seal, port);
  }
  if (const Key* groups = key ? key->Find("Groups") : nullptr) {
    for (const auto& [folded, groupKey] : groups->subkeys) {
      (void)folded;
      TTreeNode* group = AddGroup(nullptr, FromRegistryText(groupKey->name));
      for (uint32_t address : ReadSeals(groupKey.get())) {
        TTreeNode* sealNode = FindSealNode(address);
        if (!sealNode) continue;
        TTreeNode* entry = AddTreeNode(groupTree_, SealCaption(address), group, SealImage);
        entry->SetStateIndex(IdleStateImage);
        entry->sealNode = sealNode;
      }
    }
  }
  setupTree_->expandAll();
  groupTree_->expandAll();
}

bool TSetupTrees::SaveSetup(const QWidget* window, const ReaderOptions& options, QString* failure) {
  Key settings;
  WriteString(settings, "Operator1", ToRegistryText(options.operator1));
  WriteString(settings, "Operator2", ToRegistryText(options.operator2));
  WriteInteger(settings, "ShowDialog", options.showDialog ? 1 : 0);
  WriteInteger(settings, "ExpertMode", options.expertMode ? 1 : 0);
  if (window) {
    const QRect frame = NormalFrameRect(window);
    WriteInteger(settings, "Top", frame.top());
    WriteInteger(settings, "Left", frame.left());
    WriteInteger(settings, "Height", frame.height());
    WriteInteger(settings, "Width", frame.width());
    WriteInteger(settings, "State", window->isMinimized() ? 1 : window->isMaximized() ? 2 : 0);
  }
  Key& setup = settings.Make("Setup");
  int interfaces = 0;
  for (int i = 0; root_ && i < root_->childCount(); ++i) {
    const TTreeNode* port = root_->Child(i);
    Key& portKey = port->ImageIndex() == ComPortImage ? setup.Make(port->text(0).toStdString())
                                                      : setup.Make("Interface" + std::to_string(++interfaces));
    if (port->ImageIndex() == InterfaceImage) WriteString(portKey, "Address", ToRegistryText(port->text(0)));
    std::vector<uint32_t> seals;
    for (int k = 0; k < port->childCount(); ++k)
      if (port->Child(k)->ImageIndex() == SealImage) seals.push_back(port->Child(k)->address);
    WriteSeals(portKey, seals);
  }
  Key& groups = settings.Make("Groups");
  for (int g = 1; g < groupTree_->topLevelItemCount(); ++g) {
    const auto* group = static_cast<const TTreeNode*>(groupTree_->topLevelItem(g));
    // The name stays one key name, whatever characters it holds.
    Key& groupKey = groups.Make(ToRegistryText(group->text(0)));
    std::vector<uint32_t> seals;
    for (int k = 0; k < group->childCount(); ++k) seals.push_back(group->Child(k)->sealNode->address);
    WriteSeals(groupKey, seals);
  }

  const LSTATUS result = platform::reg::ChangeStore(
      platform::reg::Root::CurrentUser, [&](Key& tree, bool& changed) {
        Key* key = &tree;
        for (const char* segment : SettingsPath) key = &key->Make(segment);
        key->values = std::move(settings.values);
        key->subkeys = std::move(settings.subkeys);
        changed = true;
        return LSTATUS(ERROR_SUCCESS);
      });
  if (result != ERROR_SUCCESS && failure) *failure = StoreFailure(result);
  return result == ERROR_SUCCESS;
}

void TSetupTrees::Clear() {
  mouseDownNode_ = nullptr;
  groupTree_->clear();
  setupTree_->clear();
  root_ = allSeals_ = nullptr;
}

bool TSetupTrees::ExportSetup(const QString& file, const QWidget* window, const ReaderOptions& options) {
  bool saved = SaveSetup(window, options);
  platform::Registry registry;
  saved = saved && registry.OpenKeyReadOnly(std::string("\\") + SettingsKeyPath) &&
          registry.SaveKeyReplacing(file.toStdString());
  if (!saved) MessageDlg(QStringLiteral("Export operation failed"), TMsgDlgType::Error, platform::MB_OK);
  return saved;
}

bool TSetupTrees::ImportSetup(const QString& file, QWidget* window, ReaderOptions& options) {
  platform::Registry registry;
  if (!registry.OpenKey(std::string("\\") + SettingsKeyPath, true) || !registry.RestoreKey(file.toStdString())) {
    MessageDlg(QStringLiteral("Import operation failed"), TMsgDlgType::Error, platform::MB_OK);
    return false;
  }
  registry.CloseKey();
  Clear();
  LoadSetup(window, options);
  return true;
}

std::vector<TTreeNode*> TSetupTrees::SealNodesOf(TTreeNode* node) const {
  std::vector<TTreeNode*> ports;
  if (node == root_)
    for (int i = 0; i < root_->childCount(); ++i) ports.push_back(root_->Child(i));
  else
    ports.push_back(node);
  std::vector<TTreeNode*> seals;
  for (TTreeNode* port : ports)
    for (int i = 0; i < port->childCount(); ++i)
      if (port->Child(i)->ImageIndex() == SealImage) seals.push_back(port->Child(i));
  return seals;
}

void TSetupTrees::RemoveSeals(TTreeNode* node) {
  if (!node) return;
  if (node->ImageIndex() == SealImage) {
    if (Confirm(QStringLiteral("Remove %1?").arg(node->text(0)))) DeleteSealNode(node);
    return;
  }
  const QString question = node == root_ ? QStringLiteral("Remove all seals from setup?")
                                         : QStringLiteral("Remove all seals from %1?").arg(node->text(0));
  if (!Confirm(question)) return;
  for (TTreeNode* seal : SealNodesOf(node)) DeleteSealNode(seal);
}

std::vector<ComPtr<TZarnReaderSeal>> TSetupTrees::SealsOf(TTreeNode* node) const {
  std::vector<ComPtr<TZarnReaderSeal>> seals;
  for (TTreeNode* seal : SealNodesOf(node)) seals.push_back(seal->seal);
  return seals;
}

void TSetupTrees::RemoveSealsNotFound(const std::vector<ComPtr<TZarnReaderSeal>>& seals,
                                      const std::vector<uint32_t>& found) {
  for (const ComPtr<TZarnReaderSeal>& seal : seals) {
    // Gone meanwhile, removed by the operator or with its interface: nothing left to remove.
    TTreeNode* node = seal->Node();
    if (!node) continue;
    // "Any Seal" stands for whichever seal answers: no search finds it, and none removes it.
    if (node->address == 0) continue;
    if (std::find(found.begin(), found.end(), node->address) == found.end()) DeleteSealNode(node);
  }
}

void TSetupTrees::RemoveInterface(TTreeNode* node) {
  if (!node || node->ImageIndex() != InterfaceImage) return;
  if (CountSealNodes(node) > 0 && !Confirm(QStringLiteral("Remove Network Interface and all connected seals?")))
    return;
  DeleteInterfaceNode(node);
}

void TSetupTrees::RemoveGroup(TTreeNode* node) {
  if (!node || node->ImageIndex() != GroupImage || node == allSeals_) return;
  if (Confirm(QStringLiteral("Remove \"%1\"?").arg(node->text(0)))) delete node;
}

TTreeNode* TSetupTrees::NodeAt(const QPoint& pos) const {
  return static_cast<TTreeNode*>(setupTree_->itemAt(pos));
}

bool TSetupTrees::eventFilter(QObject* watched, QEvent* event) {
  if (watched != viewport_) return false;
  auto* mouse = dynamic_cast<QMouseEvent*>(event);
  if (!mouse) return false;
  const QPoint pos = mouse->position().toPoint();
  switch (event->type()) {
    case QEvent::MouseButtonPress:
      if (mouse->button() == Qt::LeftButton) mouseDownNode_ = NodeAt(pos);
      break;
    case QEvent::MouseMove:
      if (!(mouse->buttons() & Qt::LeftButton)) {
        if (mouseDownNode_) viewport_->unsetCursor();
      } else if (mouseDownNode_ && mouseDownNode_->ImageIndex() == SealImage) {
        TTreeNode* over = NodeAt(pos);
        if (over == mouseDownNode_)
          viewport_->unsetCursor();
        else if (over && over->IsPort())
          viewport_->setCursor(Qt::DragMoveCursor);
        else
          viewport_->setCursor(Qt::ForbiddenCursor);
        return true;  // no rubber-band selection while dragging a seal
      }
      break;
    case QEvent::MouseButtonRelease:
      if (mouse->button() == Qt::LeftButton && mouseDownNode_) {
        TTreeNode* dragged = mouseDownNode_;
        mouseDownNode_ = nullptr;
        viewport_->unsetCursor();
        TTreeNode* over = NodeAt(pos);
        if (over == dragged && dragged->ImageIndex() == SealImage)
          emit SealNodeClicked(dragged);
        else if (over && over->IsPort() && dragged->ImageIndex() == SealImage)
          MoveSeal(dragged, over);
      }
      break;
    default:
      break;
  }
  return false;
}
