// XML documents and nodes over libxml2, and XSLT over libxslt. Documents are read
// from and written to byte buffers (or files); saving always gives indented UTF-8.
// Input is treated as untrusted: parsing never reaches the network, the external DTD
// is read (from a local file) only when the caller asks for it, and external entities
// of the content are never read.
#pragma once

#include <string>

#include "lumo/allocator.h"
#include "lumo/blob.h"
#include "lumo/base_types.h"
#include "lumo/containers.h"

struct _xmlDoc;
struct _xmlNode;

class CL_XML_Document;

// Option bits of CL_XML_Document::Load.
enum : uint32 {
    CL_XML_MERGE_CDATA = 1,          // CDATA sections read as text nodes
    CL_XML_KEEP_BLANKS = 2,          // blank text nodes are kept
    CL_XML_SUBSTITUTE_ENTITIES = 4,  // entity references are replaced by their text
    CL_XML_LOAD_DTD = 8,             // the external DTD is loaded (local files only)
    CL_XML_VALIDATE = 16,            // the document is validated against its DTD
};

// Handle to a node of a document; it may be null, and does not own the node. Every
// operation on a null handle does nothing and gives an empty or null result. A node
// is used by one thread at a time, as its document is; nothing locks it.
class CL_XML_Node : public CL_Object {
public:
    enum Type : int32 {
        ELEMENT = 0,
        TEXT = 1,
        COMMENT = 2,
        DECLARATION = 3,  // processing instruction
        UNKNOWN = 4,
    };

    CL_XML_Node() : fNode(nullptr) {}
    explicit CL_XML_Node(_xmlNode* node) : fNode(node) {}

    bool IsNull() const { return fNode == nullptr; }
    bool operator==(const CL_XML_Node& other) const { return fNode == other.fNode; }
    bool operator!=(const CL_XML_Node& other) const { return fNode != other.fNode; }

    Type GetType() const;
    // The element's name; empty for any other kind of node.
    std::string GetName() const;
    CL_XML_Node GetChildren() const;
    CL_XML_Node GetNext() const;
    CL_XML_Node GetParent() const;

    // Appends `child` as last child, taking it out of where it was linked before; a
    // node is never linked below itself. A text node appended next to another text
    // node is merged into it and freed: the surviving node is returned then.
    CL_XML_Node AddChild(const CL_XML_Node& child);
    // Appends a new node made by doc.CreateNode(type, text) and returns it; a null
    // node when the type cannot be created.
    CL_XML_Node AddChild(CL_XML_Document& doc, Type type, const std::string& text);
    // The first child element named `name`, appended as a new element when there is none.
    CL_XML_Node EnsureChild(CL_XML_Document& doc, const std::string& name);
    CL_XML_Node Detach();
    // Unlinks and frees the node with its subtree; handles to it dangle afterwards.
    void Delete();

    void AddAttribute(const std::string& name, const std::string& value);
    bool HasAttribute(const std::string& name) const;
    void DeleteAttribute(const std::string& name);
    // False (and `*value` untouched) when the attribute is absent.
    bool GetAttribute(const std::string& name, std::string* value) const;
    // The attribute's value, or `def` when it is absent.
    std::string GetAttribute(const std::string& name, const std::string& def) const;
    // Creates the attribute or replaces its value.
    void SetAttribute(const std::string& name, const std::string& value);
    // An element with that name.
    bool TagIsEqual(const std::string& name) const;

    int32 GetLineNumber() const;
    std::string GetNodeContent() const;
    void SetNodeContent(const std::string& text);

    // XPath 1.0 with this node as the context node ("item", "//order[@id='2']",
    // "@id"): the first node selected in document order, or every one. A null node or
    // an empty array when nothing matches, the expression does not parse or its value
    // is not a node set.
    CL_XML_Node Find(const std::string& xpath) const;
    CL_Array<CL_XML_Node> FindAll(const std::string& xpath) const;
    // The node and its subtree as indented text, without an XML declaration.
    std::string Dump() const;

    _xmlNode* fNode;
};

// An XML document: always holds a libxml2 document, except after being moved from.
// One thread at a time uses a document and its nodes; nothing locks them. Loading,
// saving and dumping briefly change libxml2's process-wide blank-text setting, so
// callers that need exact settings across threads serialise those calls.
class CL_XML_Document : public CL_Object {
public:
    CL_XML_Document();
    CL_XML_Document(CL_Blob& data, unsigned int flags);
    CL_XML_Document(const std::string& path, unsigned int flags);
    CL_XML_Document(const CL_XML_Document& other);
    CL_XML_Document(CL_XML_Document&& other) noexcept;
    CL_XML_Document& operator=(const CL_XML_Document& other);
    CL_XML_Document& operator=(CL_XML_Document&& other) noexcept;
    ~CL_XML_Document();

    // Replaces the content with an empty document (version "1.0").
    void InitObject();

    // Parse a file or the whole content of a blob. On failure the document keeps
    // its previous content and GetError tells why.
    bool Load(const std::string& path, unsigned int flags);
    bool Load(CL_Blob& data, unsigned int flags);
    // Indented UTF-8 with the XML declaration; the blob holds exactly those bytes.
    bool Save(CL_Blob& out) const;
    bool Save(const std::string& path) const;
    // The calling thread's last libxml2 error message; not tied to this document.
    std::string GetError() const;
    // The text Save writes.
    std::string Dump() const;
    // Validates against the DTD the document holds: its internal subset, and the
    // external one when it was loaded with CL_XML_LOAD_DTD; nothing is read from
    // outside. False without a DTD or when the document breaks it (see GetError).
    bool IsValid() const;

    // A new node of this document, not linked anywhere: ELEMENT named `text`, TEXT
    // or COMMENT with content `text`, DECLARATION (processing instruction) named
    // `text`; a null node for any other type. A node never linked stays the
    // caller's to Delete.
    CL_XML_Node CreateNode(CL_XML_Node::Type type, const std::string& text);
    // Makes `node` the root element; a previous root is unlinked and left to the caller.
    void SetRoot(const CL_XML_Node& node);
    CL_XML_Node GetRoot() const;
    // The root element named `name`, made when the document has no root; a null node
    // when the root has another name.
    CL_XML_Node EnsureChild(const std::string& name);
    // XPath 1.0 from the document node ("/orders/order", "//qty"), as CL_XML_Node::Find.
    CL_XML_Node Find(const std::string& xpath) const;
    CL_Array<CL_XML_Node> FindAll(const std::string& xpath) const;

    // Applies `stylesheet` as XSLT to this document and writes the serialised result
    // into `out`. The transformation may not write files, create directories or use
    // the network. On failure `out` is left as it was.
    bool Transform(const CL_XML_Document& stylesheet, CL_Blob* out) const;

    _xmlDoc* fDoc;
};

// ---- Values as XML and text dumps
//
// A value is one element named after its type ("null", "bool", "integer", "decimal",
// "float", "date", "time", "timestamp", "text", "blob", "list", "table") whose text is
// the value; a list holds one element per item, a table one element per entry with
// the key in the attribute "name". Numbers are written and read in the C locale.
// The operations are the members SaveXML, LoadXML and Dump of CLU_Entry, CLU_List
// and CLU_Table (lumo/entry.h); those headers declare the variant opaquely.

enum CLU_XML_Variant : int32 {
    CLU_XML_STANDARD = 0,
    CLU_XML_EXPLICIT = 1,  // table entries as <x name="key"><type>value</type></x>
};
