#include "dom_script.h"

#include <new>
#include <string>
#include <vector>

namespace {

const InterfaceInfo& DocumentInfo() {
  static const InterfaceInfo info{
      MakeGuid("{6B0E7C31-52A4-4F0B-9D67-1C8E2A5F4D01}"),
      "IZarnXmlDocument",
      "The seal data document, read-only",
      {{1, "documentElement", MemberKind::PropertyGet, {}, VT_DISPATCH},
       {2, "selectNodes", MemberKind::Method, {{"queryString", VT_BSTR}}, VT_DISPATCH},
       {3, "selectSingleNode", MemberKind::Method, {{"queryString", VT_BSTR}}, VT_DISPATCH}}};
  return info;
}

const InterfaceInfo& NodeInfo() {
  static const InterfaceInfo info{
      MakeGuid("{6B0E7C31-52A4-4F0B-9D67-1C8E2A5F4D02}"),
      "IZarnXmlNode",
      "A node of the seal data document, read-only",
      {{1, "nodeName", MemberKind::PropertyGet, {}, VT_BSTR},
       {2, "text", MemberKind::PropertyGet, {}, VT_BSTR},
       {3, "xml", MemberKind::PropertyGet, {}, VT_BSTR},
       {4, "getAttribute", MemberKind::Method, {{"name", VT_BSTR}}, VT_VARIANT},
       {5, "childNodes", MemberKind::PropertyGet, {}, VT_DISPATCH},
       {6, "parentNode", MemberKind::PropertyGet, {}, VT_DISPATCH},
       {7, "selectNodes", MemberKind::Method, {{"queryString", VT_BSTR}}, VT_DISPATCH},
       {8, "selectSingleNode", MemberKind::Method, {{"queryString", VT_BSTR}}, VT_DISPATCH}}};
  return info;
}

const InterfaceInfo& NodeListInfo() {
  static const InterfaceInfo info{MakeGuid("{6B0E7C31-52A4-4F0B-9D67-1C8E2A5F4D03}"),
                                  "IZarnXmlNodeList",
                                  "Nodes of the seal data document, read-only",
                                  {{1, "length", MemberKind::PropertyGet, {}, VT_I4},
                                   {2, "item", MemberKind::Method, {{"index", VT_I4}}, VT_DISPATCH}}};
  return info;
}

using Stamp = TZarnDocument::TreeStamp;
using Nodes = std::vector<pugi::xpath_node>;

struct StringWriter : pugi::xml_writer {
  std::string text;
  void write(const void* data, size_t size) override { text.append(static_cast<const char*>(data), size); }
};

// What every object of the tree shares: the document while it lives and the stamp of
// the tree its nodes were taken from.
class TreeObject : public DispatchImpl<IDispatch>, private ComObjectRoot {
 public:
  TreeObject(std::weak_ptr<const TZarnDocument> document, Stamp stamp)
      : document_(std::move(document)), stamp_(stamp) {}
  COM_REFCOUNT_METHODS
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown && iid != IID_IDispatch) return E_NOINTERFACE;
    *object = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }

 protected:
  // Runs read under the document's lock once the object's tree is still the document's
  // (unless any tree will do) and no node was removed since the object was taken: the
  // parser reuses a removed node's memory for new ones, so an old handle could reach
  // another node's data. Else raises why not. read gets the tree and its stamp.
  template <class F>
  HRESULT Read(bool anyTree, F&& read) {
    std::shared_ptr<const TZarnDocument> document = document_.lock();
    if (!document) return Fail(DomClosedText);
    const char* refused = nullptr;
    HRESULT hr = S_OK;
    try {
      hr = document->WithDom([&](const pugi::xml_document& dom) -> HRESULT {
        const Stamp now = document->Stamp();
        if (!anyTree && stamp_.generation != now.generation)
          refused = DomReplacedText;
        else if (!anyTree && stamp_.removals != now.removals)
          refused = DomRemovedText;
        if (refused) return E_FAIL;
        return read(dom, now);
      });
    } catch (const pugi::xpath_exception& e) {
      return Fail(DomBadXPathText + std::string(e.what()), E_INVALIDARG);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    return refused ? Fail(refused) : hr;
  }

  HRESULT Fail(const std::string& description, HRESULT code = E_FAIL) {
    return Raise({0, DomSourceText, description, code});
  }

  // Nodes found by XPath from a context node of the tree, in document order.
  static Nodes Select(const pugi::xpath_node& context, const Bstr& query, bool first) {
    pugi::xpath_query compiled(query.Utf8().c_str());
    Nodes found;
    if (first) {
      if (pugi::xpath_node node = compiled.evaluate_node(context)) found.push_back(node);
      return found;
    }
    pugi::xpath_node_set set = compiled.evaluate_node_set(context);
    set.sort();
    found.assign(set.begin(), set.end());
    return found;
  }

  const std::weak_ptr<const TZarnDocument> document_;
  const Stamp stamp_;
};

ComPtr<IDispatch> MakeNode(std::weak_ptr<const TZarnDocument> document, Stamp stamp, pugi::xpath_node node);
ComPtr<IDispatch> MakeList(std::weak_ptr<const TZarnDocument> document, Stamp stamp, Nodes nodes);

class ScriptDocument final : public TreeObject {
 public:
  using TreeObject::TreeObject;

 protected:
  const InterfaceInfo& TypeInformation() const override { return DocumentInfo(); }
  HRESULT InvokeMember(const MemberInfo& member, std::vector<Variant>& args, Variant& result) override {
    return Read(true, [&](const pugi::xml_document& dom, Stamp now) -> HRESULT {
      switch (member.id) {
        case 1: {
          pugi::xml_node root = dom.document_element();
          result = Variant(root ? MakeNode(document_, now, pugi::xpath_node(root)) : ComPtr<IDispatch>());
          return S_OK;
        }
        case 2:
        case 3: {
          Nodes found = Select(pugi::xpath_node(dom), args[0].String(), member.id == 3);
          if (member.id == 2)
            result = Variant(MakeList(document_, now, std::move(found)));
          else
            result = Variant(found.empty() ? ComPtr<IDispatch>() : MakeNode(document_, now, found[0]));
          return S_OK;
        }
      }
      return DISP_E_MEMBERNOTFOUND;
    });
  }

};

class ScriptNode final : public TreeObject {
 public:
  ScriptNode(std::weak_ptr<const TZarnDocument> document, Stamp stamp, pugi::xpath_node node)
      : TreeObject(std::move(document), stamp), node_(node) {}

 protected:
  const InterfaceInfo& TypeInformation() const override { return NodeInfo(); }
  HRESULT InvokeMember(const MemberInfo& member, std::vector<Variant>& args, Variant& result) override {
    return Read(false, [&](const pugi::xml_document&, Stamp now) -> HRESULT {
      const pugi::xml_node node = node_.node();
      switch (member.id) {
        case 1: result = Variant(Bstr::FromUtf8(Name())); return S_OK;
        case 2: result = Variant(Bstr::FromUtf8(Text())); return S_OK;
        case 3: result = Variant(Bstr::FromUtf8(Xml())); return S_OK;
        case 4: {
          pugi::xml_attribute attribute = node.attribute(args[0].String().Utf8().c_str());
          result = attribute ? Variant(Bstr::FromUtf8(attribute.value())) : Variant::Null();
          return S_OK;
        }
        case 5: {
          Nodes children;
          for (pugi::xml_node child : node.children()) children.emplace_back(child);
          result = Variant(MakeList(document_, now, std::move(children)));
          return S_OK;
        }
        case 6: {
          pugi::xml_node parent = node.parent();
          if (!parent)
            result = Variant(ComPtr<IDispatch>());
          else if (parent.type() == pugi::node_document)
            result = Variant(ComPtr<IDispatch>(new ScriptDocument(document_, now)));
          else
            result = Variant(MakeNode(document_, now, pugi::xpath_node(parent)));
          return S_OK;
        }
        case 7:
        case 8: {
          Nodes found = Select(node_, args[0].String(), member.id == 8);
          if (member.id == 7)
            result = Variant(MakeList(document_, now, std::move(found)));
          else
            result = Variant(found.empty() ? ComPtr<IDispatch>() : MakeNode(document_, now, found[0]));
          return S_OK;
        }
      }
      return DISP_E_MEMBERNOTFOUND;
    });
  }

 private:
  std::string Name() const {
    if (node_.attribute()) return node_.attribute().name();
    switch (node_.node().type()) {
      case pugi::node_pcdata: return "#text";
      case pugi::node_cdata: return "#cdata-section";
      case pugi::node_comment: return "#comment";
      case pugi::node_document: return "#document";
      default: return node_.node().name();
    }
  }

  // The node's own text and that of everything below it, as the DOM's text gives it.
  std::string Text() const {
    if (node_.attribute()) return node_.attribute().value();
    const pugi::xml_node node = node_.node();
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) return node.value();
    struct Texts : pugi::xml_tree_walker {
      std::string text;
      bool for_each(pugi::xml_node& n) override {
        if (n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata) text += n.value();
        return true;
      }
    } texts;
    pugi::xml_node(node).traverse(texts);
    return texts.text;
  }

  std::string Xml() const {
    StringWriter out;
    if (node_.attribute()) {
      // The attribute printed as the parser's own writer escapes it.
      pugi::xml_document scratch;
      scratch.append_child("a").append_copy(node_.attribute());
      scratch.document_element().print(out, "", pugi::format_raw, pugi::encoding_utf8);
      return out.text.substr(3, out.text.size() - 5);  // within "<a " and "/>"
    }
    node_.node().print(out, "", pugi::format_raw, pugi::encoding_utf8);
    return out.text;
  }

  const pugi::xpath_node node_;
};

class ScriptNodeList final : public TreeObject {
 public:
  ScriptNodeList(std::weak_ptr<const TZarnDocument> document, Stamp stamp, Nodes nodes)
      : TreeObject(std::move(document), stamp), nodes_(std::move(nodes)) {}

 protected:
  const InterfaceInfo& TypeInformation() const override { return NodeListInfo(); }
  HRESULT InvokeMember(const MemberInfo& member, std::vector<Variant>& args, Variant& result) override {
    if (member.id == 1) {
      return Read(false, [&](const pugi::xml_document&, Stamp) {
        result = Variant(int32_t(nodes_.size()));
        return S_OK;
      });
    }
    const int64_t index = args[0].Integer();
    if (index < 0 || uint64_t(index) >= nodes_.size()) {
      // As the DOM answers for an index out of range: no node.
      return Read(false, [&](const pugi::xml_document&, Stamp) {
        result = Variant(ComPtr<IDispatch>());
        return S_OK;
      });
    }
    const pugi::xpath_node& node = nodes_[size_t(index)];
    return Read(false, [&](const pugi::xml_document&, Stamp now) {
      result = Variant(MakeNode(document_, now, node));
      return S_OK;
    });
  }

 private:
  const Nodes nodes_;
};

ComPtr<IDispatch> MakeNode(std::weak_ptr<const TZarnDocument> document, Stamp stamp, pugi::xpath_node node) {
  return ComPtr<IDispatch>(new ScriptNode(std::move(document), stamp, node));
}

ComPtr<IDispatch> MakeList(std::weak_ptr<const TZarnDocument> document, Stamp stamp, Nodes nodes) {
  return ComPtr<IDispatch>(new ScriptNodeList(std::move(document), stamp, std::move(nodes)));
}

}  // namespace

ComPtr<IDispatch> CreateScriptDocument(const TZarnDocument& document) {
  return ComPtr<IDispatch>(new ScriptDocument(document.WeakReference(), document.Stamp()));
}
