// Node handles over libxml2 nodes: kinds, navigation, linking, attributes, content.
#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include "lumo/xml.h"

namespace {

std::string TakeText(xmlChar* text) {
    if (!text) return std::string();
    std::string result(reinterpret_cast<const char*>(text));
    xmlFree(text);
    return result;
}

}  // namespace

CL_XML_Node::Type CL_XML_Node::GetType() const {
    if (!fNode) return UNKNOWN;
    switch (fNode->type) {
        case XML_ELEMENT_NODE:
            return ELEMENT;
        case XML_TEXT_NODE:
            return TEXT;
        case XML_COMMENT_NODE:
            return COMMENT;
        case XML_PI_NODE:
            return DECLARATION;
        default:
            return UNKNOWN;
    }
}

std::string CL_XML_Node::GetName() const {
    if (!fNode || fNode->type != XML_ELEMENT_NODE || !fNode->name) return std::string();
    return std::string(reinterpret_cast<const char*>(fNode->name));
}

CL_XML_Node CL_XML_Node::GetChildren() const {
    return CL_XML_Node(fNode ? fNode->children : nullptr);
}

CL_XML_Node CL_XML_Node::GetNext() const {
    return CL_XML_Node(fNode ? fNode->next : nullptr);
}

CL_XML_Node CL_XML_Node::GetParent() const {
    return CL_XML_Node(fNode ? fNode->parent : nullptr);
}

CL_XML_Node CL_XML_Node::AddChild(const CL_XML_Node& child) {
    if (!fNode || !child.fNode) return child;
    // Linking a node below itself would make a cycle that every walk follows for ever.
    for (xmlNodePtr p = fNode; p; p = p->parent)
        if (p == child.fNode) return child;
    // xmlAddChild does not take a linked node out of its parent's list, which would
    // be left pointing at it (at a freed node after a text merge): move it instead.
    if (child.fNode->parent) xmlUnlinkNode(child.fNode);
    // xmlAddChild frees a text child that it merges into a neighbouring text node and
    // answers the survivor; null means nothing was linked.
    xmlNodePtr linked = xmlAddChild(fNode, child.fNode);
    return linked ? CL_XML_Node(linked) : child;
}

CL_XML_Node CL_XML_Node::AddChild(CL_XML_Document& doc, Type type, const std::string& text) {
    if (!fNode) return CL_XML_Node();
    CL_XML_Node child = doc.CreateNode(type, text);
    if (child.IsNull()) return child;
    return AddChild(child);
}

CL_XML_Node CL_XML_Node::EnsureChild(CL_XML_Document& doc, const std::string& name) {
    if (!fNode) return CL_XML_Node();
    for (CL_XML_Node child = GetChildren(); !child.IsNull(); child = child.GetNext())
        if (child.TagIsEqual(name)) return child;
    return AddChild(doc, ELEMENT, name);
}

CL_XML_Node CL_XML_Node::Detach() {
    if (fNode && fNode->parent) xmlUnlinkNode(fNode);
    return *this;
}

void CL_XML_Node::Delete() {
    if (!fNode) return;
    if (fNode->parent) xmlUnlinkNode(fNode);
    xmlFreeNode(fNode);
    fNode = nullptr;
}

void CL_XML_Node::AddAttribute(const std::string& name, const std::string& value) {
    if (!fNode || fNode->type != XML_ELEMENT_NODE) return;
    xmlNewProp(fNode, BAD_CAST name.c_str(), BAD_CAST value.c_str());
}

bool CL_XML_Node::HasAttribute(const std::string& name) const {
    if (!fNode || fNode->type != XML_ELEMENT_NODE) return false;
    return xmlHasProp(fNode, BAD_CAST name.c_str()) != nullptr;
}

void CL_XML_Node::DeleteAttribute(const std::string& name) {
    if (!fNode || fNode->type != XML_ELEMENT_NODE) return;
    xmlUnsetProp(fNode, BAD_CAST name.c_str());
}

bool CL_XML_Node::GetAttribute(const std::string& name, std::string* value) const {
    if (!fNode || fNode->type != XML_ELEMENT_NODE) return false;
    xmlChar* text = xmlGetProp(fNode, BAD_CAST name.c_str());
    if (!text) return false;
    if (value)
        *value = TakeText(text);
    else
        xmlFree(text);
    return true;
}

std::string CL_XML_Node::GetAttribute(const std::string& name, const std::string& def) const {
    std::string value;
    return GetAttribute(name, &value) ? value : def;
}

void CL_XML_Node::SetAttribute(const std::string& name, const std::string& value) {
    if (!fNode || fNode->type != XML_ELEMENT_NODE) return;
    xmlSetProp(fNode, BAD_CAST name.c_str(), BAD_CAST value.c_str());
}

bool CL_XML_Node::TagIsEqual(const std::string& name) const {
    return fNode && fNode->type == XML_ELEMENT_NODE && fNode->name &&
           name == reinterpret_cast<const char*>(fNode->name);
}

int32 CL_XML_Node::GetLineNumber() const {
    return fNode ? static_cast<int32>(xmlGetLineNo(fNode)) : -1;
}

std::string CL_XML_Node::GetNodeContent() const {
    return fNode ? TakeText(xmlNodeGetContent(fNode)) : std::string();
}

void CL_XML_Node::SetNodeContent(const std::string& text) {
    if (!fNode || text.size() > 0x7FFFFFFFu) return;
    xmlNodeSetContentLen(fNode, BAD_CAST text.data(), static_cast<int>(text.size()));
}

std::string CL_XML_Node::Dump() const {
    if (!fNode) return std::string();
    xmlBufferPtr buffer = xmlBufferCreate();
    if (!buffer) return std::string();
    // As when saving: without kept blanks the serialiser indents.
    int keepBlanks = xmlKeepBlanksDefault(0);
    xmlNodeDump(buffer, fNode->doc, fNode, 0, 1);
    xmlKeepBlanksDefault(keepBlanks);
    std::string text(reinterpret_cast<const char*>(xmlBufferContent(buffer)),
                     static_cast<size_t>(xmlBufferLength(buffer)));
    xmlBufferFree(buffer);
    return text;
}
