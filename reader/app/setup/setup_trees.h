#pragma once
// The setup tree (which ports the computer has, which seals sit behind each) and the
// group tree (seals put together under names), kept in the registry under the
// settings key with the window placement, the operators and two flags; the settings
// key saved to and restored from a setup file.

#include <QObject>
#include <QString>
#include <QTreeWidget>
#include <cstdint>
#include <string>
#include <vector>

#include "reader_options.h"
#include "tree_node.h"

// The settings key below HKEY_CURRENT_USER.
inline constexpr const char* SettingsKeyPath = "Software\\Halvec\\ZARN\\2.0";

class TSetupTrees : public QObject {
  Q_OBJECT

 public:
  // Both trees get their look here; the drag of seals is read from the setup tree.
  TSetupTrees(QTreeWidget* setupTree, QTreeWidget* groupTree, QObject* parent = nullptr);

  QTreeWidget* SetupTreeView() const { return setupTree_; }
  QTreeWidget* GroupTreeView() const { return groupTree_; }
  TTreeNode* RootNode() const { return root_; }
  TTreeNode* AllSealsNode() const { return allSeals_; }

  // The time-out of the ports made from now on (ms), by every setup of the program.
  static void SetPortTimeout(uint32_t timeout) { portTimeout_ = timeout; }

  static TTreeNode* AddTreeNode(QTreeWidget* tree, const QString& text, TTreeNode* parent, int image);
  TTreeNode* AddSeal(uint32_t address, TTreeNode* port);
  TTreeNode* FindSealNode(uint32_t address) const;
  TTreeNode* AddInterface(const QString& address);
  // Makes a top-level group node when node is null.
  TTreeNode* AddGroup(TTreeNode* node, const QString& name);
  void DeleteSealNode(TTreeNode* node);
  static int CountSealNodes(const TTreeNode* node);
  // Moves a seal node under another port; its state image and group entries follow.
  void MoveSeal(TTreeNode* seal, TTreeNode* port);
  // Deletes the interface node, its seals with their entries, and its port.
  void DeleteInterfaceNode(TTreeNode* node);

  // Builds both trees from the present COM ports and the registry, applying the
  // window placement and reading the options.
  void LoadSetup(QWidget* window, ReaderOptions& options);
  // Replaces the settings key by the trees, the placement and the options, in one
  // change of the registry. False when the registry could not be written; failure, when
  // given, then says why.
  bool SaveSetup(const QWidget* window, const ReaderOptions& options, QString* failure = nullptr);
  // Empties both trees.
  void Clear();

  // The settings key to a setup file, which is replaced whole as a seal data file is
  // (a failure leaves it as it was; a link to it stays a link); the setup is saved to the
  // registry first. "Export operation failed" on failure.
  bool ExportSetup(const QString& file, const QWidget* window, const ReaderOptions& options);
  // The settings key from a setup file, then both trees rebuilt. A file that is no
  // setup file changes nothing: "Import operation failed".
  bool ImportSetup(const QString& file, QWidget* window, ReaderOptions& options);

  // The confirmed removals of the setup and group commands.
  void RemoveSeals(TTreeNode* node);
  // A search on a port (on every port, with the root) replaces the node's seals by those it
  // finds. Taken before the search: the objects of the seals it replaces.
  std::vector<ComPtr<TZarnReaderSeal>> SealsOf(TTreeNode* node) const;
  // After the search: those still in the setup that it did not find go without a question;
  // "Any Seal" stays.
  // A seal found again keeps its node, so its object, its session with the seal and its
  // places in the groups.
  void RemoveSealsNotFound(const std::vector<ComPtr<TZarnReaderSeal>>& seals, const std::vector<uint32_t>& found);
  void RemoveInterface(TTreeNode* node);
  void RemoveGroup(TTreeNode* node);

 signals:
  // A click (press and release) on a seal node of the setup tree.
  void SealNodeClicked(TTreeNode* node);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  TTreeNode* NodeAt(const QPoint& pos) const;
  void DeleteEntriesOf(const TTreeNode* sealNode);
  // The seal nodes of a port, or of every port for the root.
  std::vector<TTreeNode*> SealNodesOf(TTreeNode* node) const;
  void ProbeComPorts();

  QTreeWidget* setupTree_;
  QTreeWidget* groupTree_;
  // Kept from the start: the viewport's last events come while the tree is half destroyed.
  QWidget* const viewport_;
  TTreeNode* root_ = nullptr;
  TTreeNode* allSeals_ = nullptr;
  TTreeNode* mouseDownNode_ = nullptr;
  static inline uint32_t portTimeout_ = DefaultPortTimeout;
  // Where the seal objects find the operators' initials; set by LoadSetup.
  const ReaderOptions* options_ = nullptr;
};

// "ZARN S/N 123", or "Any Seal" for address 0.
QString SealCaption(uint32_t address);
