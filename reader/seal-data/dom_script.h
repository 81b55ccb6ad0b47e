#pragma once
// The seal data document as page script reads it: a read-only DOM of automation objects
// (the document, its nodes and lists of nodes) over the document's tree, each read taken
// under the document's lock, so a read-out adding pages meanwhile is safe.
//
// Script may keep a node across New and Open, which replace the tree, and across a
// writer removing nodes: a node or list taken before the latest removal answers with an
// error (read it again), never with another node's data. An XPath that cannot be read is a script error with the parser's reason.

#include "com.h"
#include "dom.h"

inline constexpr const char* DomSourceText = "ZARN seal data file";
inline constexpr const char* DomReplacedText = "The seal data file was replaced; read the node again.";
inline constexpr const char* DomRemovedText = "The node was removed from the seal data file; read it again.";
inline constexpr const char* DomClosedText = "The seal data file is closed.";
inline constexpr const char* DomBadXPathText = "The XPath expression cannot be read: ";

// The document object script gets for the session's Document. It reads whichever tree
// the document holds at each call; only the nodes it hands out belong to one tree.
ComPtr<IDispatch> CreateScriptDocument(const TZarnDocument& document);
