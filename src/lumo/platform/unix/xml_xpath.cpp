// XPath queries over documents and nodes: an expression evaluated from a context
// node, its node set handed out as node handles in document order.
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xpath.h>

#include "lumo/xml.h"

namespace {

void SilentError(void*, xmlErrorPtr) {}

// Evaluates `xpath` from `context` and passes each selected node to `take` until it
// answers false. Errors of a bad expression are recorded as the thread's last error
// but not printed. Namespace nodes of the set are copies that die with the result:
// they are left out.
template <class Take>
void Select(xmlDocPtr doc, xmlNodePtr context, const std::string& xpath, Take take) {
    if (!doc || !context || xpath.find('\0') != std::string::npos) return;
    xmlStructuredErrorFunc handler = xmlStructuredError;
    void* handlerContext = xmlStructuredErrorContext;
    xmlSetStructuredErrorFunc(nullptr, SilentError);
    xmlXPathContextPtr ctx = xmlXPathNewContext(doc);
    xmlXPathObjectPtr result = nullptr;
    if (ctx) {
        ctx->node = context;
        result = xmlXPathEvalExpression(BAD_CAST xpath.c_str(), ctx);
    }
    xmlSetStructuredErrorFunc(handlerContext, handler);
    if (result && result->type == XPATH_NODESET && result->nodesetval) {
        xmlNodeSetPtr set = result->nodesetval;
        for (int i = 0; i < set->nodeNr; i++) {
            xmlNodePtr node = set->nodeTab[i];
            if (!node || node->type == XML_NAMESPACE_DECL) continue;
            if (!take(node)) break;
        }
    }
    if (result) xmlXPathFreeObject(result);
    if (ctx) xmlXPathFreeContext(ctx);
}

CL_XML_Node First(xmlDocPtr doc, xmlNodePtr context, const std::string& xpath) {
    CL_XML_Node found;
    Select(doc, context, xpath, [&](xmlNodePtr node) {
        found = CL_XML_Node(node);
        return false;
    });
    return found;
}

CL_Array<CL_XML_Node> All(xmlDocPtr doc, xmlNodePtr context, const std::string& xpath) {
    CL_Array<CL_XML_Node> found;
    Select(doc, context, xpath, [&](xmlNodePtr node) { return found.Append(CL_XML_Node(node)); });
    return found;
}

}  // namespace

CL_XML_Node CL_XML_Node::Find(const std::string& xpath) const {
    return First(fNode ? fNode->doc : nullptr, fNode, xpath);
}

CL_Array<CL_XML_Node> CL_XML_Node::FindAll(const std::string& xpath) const {
    return All(fNode ? fNode->doc : nullptr, fNode, xpath);
}

CL_XML_Node CL_XML_Document::Find(const std::string& xpath) const {
    return First(fDoc, reinterpret_cast<xmlNodePtr>(fDoc), xpath);
}

CL_Array<CL_XML_Node> CL_XML_Document::FindAll(const std::string& xpath) const {
    return All(fDoc, reinterpret_cast<xmlNodePtr>(fDoc), xpath);
}
