#pragma once
// The seal data file: one XML document that keeps, for every seal and key-set, the log
// pages, the latest status record and the pads exactly as the seal sent them (hex text
// of the encrypted bytes) next to a decrypted view. Views are built by the writers from
// what the seal link read and checked, and built again from the hex texts whenever a
// file is opened: a view found in a file is never trusted.
//
// The element and attribute names and the value texts are read by page script, so
// they are an interface of their own, not only a file layout.
//
// Threads: the writers run on a seal operation's worker thread while the window thread
// opens, saves or reads the tree; every operation takes the document's lock. The host's
// callbacks run on whichever thread changed the document, after the lock is released;
// they must hand their work to the window thread without waiting for it.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <pugixml.hpp>

#include "seal.h"
#include "token.h"
#include "tools.h"
#include "main_window_messages.h"

inline constexpr const char* ModifiedPanelText = "Modified";
// A seal numbers its pad pages with a byte; a pad of more pages is no seal's.
inline constexpr unsigned MaxPadPages = 255;

// Applied to the status record's texts before they enter the tree: control characters
// other than TAB, LF and CR become blanks and the five markup characters their entity
// texts, so the file holds them escaped twice. Single-byte text in and out.
std::string XmlEscape(const std::string& text);
// Applied to a pad text before it becomes a CDATA section: control characters other
// than TAB, LF and CR become blanks, then every "]]>" three blanks. The length stays.
std::string CleanCDataText(const std::string& text);

struct TKeyRecords;

// What the document shows on the main window.

struct TDocumentHost {
  // Status-bar panel 2: ModifiedPanelText while the document has unsaved changes, else empty.
  std::function<void(const std::string& text)> SetModifiedText;
  // Around a save.
  std::function<void()> ShowBusyIcon;
  std::function<void()> HideBusyIcon;
  // The file's error messages; an error box when not set.
  std::function<void(const std::string& text)> ShowError;
};

class TZarnDocument {
 public:
  using CryptoFactory = std::function<std::unique_ptr<TCryptoToken>()>;

  // Starts with an empty document.
  explicit TZarnDocument(TDocumentHost host = {});
  ~TZarnDocument();
  TZarnDocument(const TZarnDocument&) = delete;
  TZarnDocument& operator=(const TZarnDocument&) = delete;

  // True once an attribute was written since the document was last made, opened or saved.
  bool Modified() const;

  // A fresh tree: the declaration and an empty "zarn". No key is selected afterwards.
  bool NewDocument();
  // Opens a seal data file and builds every view again through the crypto service.
  // Shows why when it cannot; true when the file was taken.
  bool LoadFromFile(const std::string& fileName);
  // Writes the whole tree (.xml) or the tree without any view (.zrd). The old file is
  // replaced only by a complete new one. Shows "Save file failed." when it cannot.
  bool SaveToFile(const std::string& fileName, bool withViews);

  // The writers. Each record goes under the key that the last successful SelectKeyset chose.
  bool SelectKeyset(uint32_t serial, uint32_t keysetNumber, TSealTime keysetTime);
  // Removes at most one stored copy of a page: first one whose view has no entries,
  // else one whose view holds the given entry.
  bool RemovePage(const std::string& log, uint8_t pageNumber, const std::string& entryName, unsigned index,
                  TSealTime time);
  // By the page type in byte 2 of the decrypted page; false for a type of no log.
  bool AddLogPage(const uint8_t raw[LogPageSize], const uint8_t plain[LogPageSize],
                  const std::string& authenticity);
  bool AddSealEventPage(const uint8_t raw[LogPageSize], const uint8_t plain[LogPageSize],
                        const std::string& authenticity);
  bool AddSystemEventPage(const uint8_t raw[LogPageSize], const uint8_t plain[LogPageSize],
                          const std::string& authenticity);
  bool AddHealthPage(const uint8_t raw[LogPageSize], const uint8_t plain[LogPageSize],
                     const std::string& authenticity);
  // Replaces the key's status; the newest is always the key's last child.
  bool AddStatus(const uint8_t raw[StatusRecordSize], const uint8_t plain[StatusRecordSize]);
  // rawPages holds lastPage + 1 pages as the seal stores them; text is the pad text as
  // single-byte text. An empty text or a pad already under the key adds nothing.
  bool AddPad(const uint8_t* rawPages, unsigned lastPage, const std::string& text);

  // Reads the tree under the document's lock; f gets the pugi::xml_document.
  template <class F>
  decltype(auto) WithDom(F&& f) const {
    Lock lock(*this);
    return f(static_cast<const pugi::xml_document&>(*dom_));
  }
  // Tells a node taken from the tree earlier whether it may still be there: the
  // generation counts the trees (NewDocument and every open make a new one), removals
  // count the nodes the writers took out of the current tree.
  struct TreeStamp {
    uint64_t generation = 0;
    uint64_t removals = 0;
    bool operator==(const TreeStamp&) const = default;
  };
  TreeStamp Stamp() const;
  // For what may outlive the document (script's objects): empty once the document is gone.
  // The document is destroyed on the window thread, where such objects are called.
  std::weak_ptr<const TZarnDocument> WeakReference() const;

  // The text a save writes, with or without the views.
  std::string Xml(bool withViews = true) const;

  // Where opening gets its crypto service client; the service's own by default.
  void SetCryptoFactory(CryptoFactory factory);

 private:
  class Lock {
   public:
    explicit Lock(const TZarnDocument& document);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    const TZarnDocument& d_;
  };
  struct Queries;
  struct RecordNodes;

  static std::unique_ptr<pugi::xml_document> CreateDomDocument();
  void MarkModified();
  // Takes a node out of the current tree, counted in the stamp.
  void Remove(pugi::xml_node parent, pugi::xml_node child);

  bool SetAttribute(pugi::xml_node element, const char* name, const std::string& value);
  bool AddText(pugi::xml_node node, const std::string& text);
  bool SetDateTimeAttrs(pugi::xml_node element, TSealTime time);
  bool SetVerifiedAttr(pugi::xml_node element, const std::string& authenticity);

  using LogView = bool (TZarnDocument::*)(pugi::xml_node page, const uint8_t plain[LogPageSize],
                                          const std::string& authenticity);
  // view: the view of the log the page is added to, whatever its bytes say.
  bool AddPage(const char* log, const char* entryName, unsigned index, TSealTime time, LogView view,
               const uint8_t raw[LogPageSize], const uint8_t plain[LogPageSize], const std::string& authenticity);
  pugi::xml_node StartLogView(pugi::xml_node page, const char* log, const uint8_t* plain,
                              const std::string& authenticity);
  bool AddLogView(pugi::xml_node page, const uint8_t plain[LogPageSize], const std::string& authenticity);
  bool AddSealEventView(pugi::xml_node page, const uint8_t plain[LogPageSize], const std::string& authenticity);
  bool AddSystemEventView(pugi::xml_node page, const uint8_t plain[LogPageSize], const std::string& authenticity);
  bool AddHealthView(pugi::xml_node page, const uint8_t plain[LogPageSize], const std::string& authenticity);
  bool AddStatusView(pugi::xml_node status, const uint8_t plain[StatusRecordSize]);
  bool AddPadView(pugi::xml_node pad, const std::string& text);

  bool Load(const std::string& fileName, std::string& message, std::vector<uint32_t>& serials);
  void ReadKeyRecords(pugi::xml_node key, TKeyRecords& records, RecordNodes& nodes) const;
  void AddKeyViews(const TKeyRecords& records, const RecordNodes& nodes);
  static void RemoveViews(pugi::xml_node below, const pugi::xpath_query& query);

  void Write(pugi::xml_writer& out, bool withViews) const;

  TDocumentHost host_;
  CryptoFactory cryptoFactory_;

  mutable std::recursive_mutex mutex_;
  mutable int depth_ = 0;
  // Panel 2 as last handed to the host, and the order of hand-overs, so that a late
  // one from another thread never overwrites a newer one.
  mutable std::string panelShown_;
  mutable uint64_t panelSequence_ = 0;
  mutable std::mutex panelMutex_;
  mutable uint64_t panelDelivered_ = 0;

  bool modified_ = false;
  std::unique_ptr<pugi::xml_document> dom_;
  pugi::xml_node root_;
  pugi::xml_node currentKey_;
  std::unique_ptr<Queries> queries_;
  TreeStamp stamp_;
  // Owns nothing: only hands out weak references that expire with the document.
  std::shared_ptr<const TZarnDocument> self_{this, [](const TZarnDocument*) {}};
};
