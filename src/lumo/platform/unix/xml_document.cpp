// XML documents over libxml2: loading with a fixed entity policy, indented UTF-8
// saving and XSLT transformation under libxslt's security preferences.
#include "lumo/xml.h"

#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/valid.h>
#include <libxml/xmlIO.h>
#include <libxml/xmlerror.h>
#include <libxslt/security.h>
#include <libxslt/transform.h>
#include <libxslt/xsltInternals.h>
#include <libxslt/xsltutils.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "lumo/base/xml_errors.h"

namespace {

// What the external entity loader lets through on the calling thread.
enum class EntityPolicy {
    kDefault,     // outside this file's calls: whatever was installed before
    kRefuseAll,   // untrusted input: nothing outside the document is read
    kLocalDTD,    // DTD loading asked for: the DTD and its parameter entities from
                  // local files, never an external entity of the content (no XXE)
    kLocalFiles,  // XSLT: local files (imports, document()), never the network
};

thread_local EntityPolicy tPolicy = EntityPolicy::kDefault;
// Why the last load of this thread failed when libxml2 recorded no error of its own.
thread_local std::string tLoadError;
xmlExternalEntityLoader sDefaultLoader = nullptr;
xsltSecurityPrefsPtr sSecurity = nullptr;

bool IsLocal(const char* url) {
    if (!url) return false;
    if (strncmp(url, "file:", 5) == 0) return true;
    // Any other scheme ("http://", "ftp://", ...) names a remote resource.
    for (const char* p = url; *p; p++) {
        if (*p == ':') return false;
        if (*p == '/') break;
    }
    return true;
}

xmlParserInputPtr GuardedLoader(const char* url, const char* id, xmlParserCtxtPtr context) {
    switch (tPolicy) {
        case EntityPolicy::kDefault:
            break;
        case EntityPolicy::kRefuseAll:
            return nullptr;
        case EntityPolicy::kLocalDTD:
            // The external subset and parameter entities are read inside the DTD;
            // an entity referenced from the content is parsed outside it.
            if (!IsLocal(url) || !context || context->inSubset == 0) return nullptr;
            break;
        case EntityPolicy::kLocalFiles:
            if (!IsLocal(url)) return nullptr;
            break;
    }
    return sDefaultLoader ? sDefaultLoader(url, id, context) : nullptr;
}

void SilentGeneric(void*, const char*, ...) {}

void InitLibraries() {
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        sDefaultLoader = xmlGetExternalEntityLoader();
        xmlSetExternalEntityLoader(GuardedLoader);
        // The library has no log of its own: stylesheet diagnostics are not printed.
        xsltSetGenericErrorFunc(nullptr, SilentGeneric);
        sSecurity = xsltNewSecurityPrefs();
        if (sSecurity) {
            xsltSetSecurityPrefs(sSecurity, XSLT_SECPREF_WRITE_FILE, xsltSecurityForbid);
            xsltSetSecurityPrefs(sSecurity, XSLT_SECPREF_CREATE_DIRECTORY, xsltSecurityForbid);
            xsltSetSecurityPrefs(sSecurity, XSLT_SECPREF_READ_NETWORK, xsltSecurityForbid);
            xsltSetSecurityPrefs(sSecurity, XSLT_SECPREF_WRITE_NETWORK, xsltSecurityForbid);
        }
    });
}

// Sets the calling thread's entity policy for one call, with libxml2's diagnostics
// kept as the thread's last error instead of printed.
class Guard {
public:
    explicit Guard(EntityPolicy policy) : fPolicy(tPolicy) {
        tPolicy = policy;
        tLoadError.clear();
    }
    ~Guard() { tPolicy = fPolicy; }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    EntityPolicy fPolicy;
    lumo_xml::XMLErrorScope fErrors;
};

int ParseOptions(unsigned int flags) {
    // Never the network; entity amplification limits stay in force (no XML_PARSE_HUGE).
    int options = XML_PARSE_NONET;
    if (flags & CL_XML_MERGE_CDATA) options |= XML_PARSE_NOCDATA;
    if (!(flags & CL_XML_KEEP_BLANKS)) options |= XML_PARSE_NOBLANKS;
    // The substitute-entities default is not honoured by the parse calls; only the
    // option substitutes.
    if (flags & CL_XML_SUBSTITUTE_ENTITIES) options |= XML_PARSE_NOENT;
    if (flags & CL_XML_LOAD_DTD) options |= XML_PARSE_DTDLOAD;
    if (flags & CL_XML_VALIDATE) options |= XML_PARSE_DTDVALID;
    return options;
}

EntityPolicy PolicyFor(unsigned int flags) {
    return (flags & (CL_XML_LOAD_DTD | CL_XML_VALIDATE)) ? EntityPolicy::kLocalDTD
                                                         : EntityPolicy::kRefuseAll;
}

xmlDocPtr Parse(const char* data, int size, const char* url, unsigned int flags) {
    Guard guard(PolicyFor(flags));
    int keepBlanks = xmlKeepBlanksDefault((flags & CL_XML_KEEP_BLANKS) ? 1 : 0);
    int substitute = xmlSubstituteEntitiesDefault((flags & CL_XML_SUBSTITUTE_ENTITIES) ? 1 : 0);
    xmlResetLastError();
    xmlDocPtr doc = xmlReadMemory(data, size, url, nullptr, ParseOptions(flags));
    xmlSubstituteEntitiesDefault(substitute);
    xmlKeepBlanksDefault(keepBlanks);
    // libxml2 refuses an empty buffer without recording why.
    if (!doc && !xmlGetLastError()) tLoadError = size == 0 ? "Document is empty" : "Parse error";
    return doc;
}

bool ReadFile(const std::string& path, CL_Blob* out) {
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return false;
    char buffer[65536];
    bool ok = true;
    for (;;) {
        size_t n = fread(buffer, 1, sizeof(buffer), file);
        if (n > 0 && out->Write(buffer, static_cast<uint32>(n)) != n) {
            errno = EFBIG;
            ok = false;
            break;
        }
        if (n < sizeof(buffer)) {
            ok = !ferror(file);
            break;
        }
    }
    fclose(file);
    return ok;
}

int AppendToBlob(void* context, const char* data, int length) {
    if (length <= 0) return 0;
    CL_Blob* blob = static_cast<CL_Blob*>(context);
    return blob->Write(data, static_cast<uint32>(length)) == static_cast<uint32>(length) ? length
                                                                                         : -1;
}

}  // namespace

CL_XML_Document::CL_XML_Document() : fDoc(nullptr) {
    InitObject();
}

CL_XML_Document::CL_XML_Document(CL_Blob& data, unsigned int flags) : CL_XML_Document() {
    Load(data, flags);
}

CL_XML_Document::CL_XML_Document(const std::string& path, unsigned int flags) : CL_XML_Document() {
    Load(path, flags);
}

CL_XML_Document::CL_XML_Document(const CL_XML_Document& other) : fDoc(nullptr) {
    InitLibraries();
    if (other.fDoc) fDoc = xmlCopyDoc(other.fDoc, 1);
    if (!fDoc) InitObject();
}

CL_XML_Document::CL_XML_Document(CL_XML_Document&& other) noexcept : fDoc(other.fDoc) {
    other.fDoc = nullptr;
}

CL_XML_Document& CL_XML_Document::operator=(const CL_XML_Document& other) {
    if (this == &other) return *this;
    if (fDoc) xmlFreeDoc(fDoc);
    fDoc = other.fDoc ? xmlCopyDoc(other.fDoc, 1) : nullptr;
    return *this;
}

CL_XML_Document& CL_XML_Document::operator=(CL_XML_Document&& other) noexcept {
    if (this == &other) return *this;
    if (fDoc) xmlFreeDoc(fDoc);
    fDoc = other.fDoc;
    other.fDoc = nullptr;
    return *this;
}

CL_XML_Document::~CL_XML_Document() {
    // libxml2's global parser memory is not released here: other threads may be
    // parsing at the same time.
    if (fDoc) xmlFreeDoc(fDoc);
}

void CL_XML_Document::InitObject() {
    InitLibraries();
    if (fDoc) xmlFreeDoc(fDoc);
    fDoc = xmlNewDoc(BAD_CAST "1.0");
}

bool CL_XML_Document::Load(const std::string& path, unsigned int flags) {
    InitLibraries();
    // The file is read here rather than by libxml2, so a "path" naming a URL is
    // never fetched; relative DTD references still resolve against the path.
    CL_Blob data;
    tLoadError.clear();
    if (!ReadFile(path, &data)) {
        int error = errno;
        xmlResetLastError();
        tLoadError = "failed to load \"" + path + "\": " + strerror(error);
        return false;
    }
    xmlDocPtr doc = Parse(reinterpret_cast<const char*>(data.GetDataForRead()),
                          static_cast<int>(data.GetSize() & 0x7FFFFFFFu), path.c_str(), flags);
    if (!doc) return false;
    if (fDoc) xmlFreeDoc(fDoc);
    fDoc = doc;
    xmlResetLastError();
    return true;
}

bool CL_XML_Document::Load(CL_Blob& data, unsigned int flags) {
    InitLibraries();
    xmlDocPtr doc = Parse(reinterpret_cast<const char*>(data.GetDataForRead()),
                          static_cast<int>(data.GetSize() & 0x7FFFFFFFu), "<memory>", flags);
    if (!doc) return false;
    if (fDoc) xmlFreeDoc(fDoc);
    fDoc = doc;
    xmlResetLastError();
    return true;
}

bool CL_XML_Document::Save(CL_Blob& out) const {
    out.Clear();
    if (!fDoc) return true;
    lumo_xml::XMLErrorScope errors;
    int keepBlanks = xmlKeepBlanksDefault(0);
    xmlChar* text = nullptr;
    int size = 0;
    xmlDocDumpFormatMemoryEnc(fDoc, &text, &size, "UTF-8", 1);
    xmlKeepBlanksDefault(keepBlanks);
    if (text) {
        if (size > 0) out.Write(text, static_cast<uint32>(size));
        xmlFree(text);
    }
    return true;
}

bool CL_XML_Document::Save(const std::string& path) const {
    if (!fDoc) return false;
    lumo_xml::XMLErrorScope errors;
    int keepBlanks = xmlKeepBlanksDefault(0);
    int written = xmlSaveFormatFile(path.c_str(), fDoc, 1);
    xmlKeepBlanksDefault(keepBlanks);
    return written >= 0;
}

std::string CL_XML_Document::Dump() const {
    CL_Blob out;
    Save(out);
    return out.Raw();
}

bool CL_XML_Document::IsValid() const {
    if (!fDoc) return false;
    InitLibraries();
    // A DTD named but not loaded stays unread, and so the document is not valid.
    Guard guard(EntityPolicy::kRefuseAll);
    xmlResetLastError();
    xmlValidCtxtPtr context = xmlNewValidCtxt();
    if (!context) return false;
    context->error = SilentGeneric;
    context->warning = SilentGeneric;
    bool valid = xmlValidateDocument(context, fDoc) == 1;
    xmlFreeValidCtxt(context);
    return valid;
}

std::string CL_XML_Document::GetError() const {
    xmlErrorPtr error = xmlGetLastError();
    if (!error || !error->message)
        return tLoadError.empty() ? lumo_xml::GenericMessages() : tLoadError;
    std::string message(error->message);
    while (!message.empty() &&
           (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return message;
}

CL_XML_Node CL_XML_Document::CreateNode(CL_XML_Node::Type type, const std::string& text) {
    if (!fDoc) return CL_XML_Node();
    switch (type) {
        case CL_XML_Node::ELEMENT:
            return CL_XML_Node(xmlNewDocNode(fDoc, nullptr, BAD_CAST text.c_str(), nullptr));
        case CL_XML_Node::TEXT:
            if (text.size() > 0x7FFFFFFFu) return CL_XML_Node();
            return CL_XML_Node(
                xmlNewDocTextLen(fDoc, BAD_CAST text.data(), static_cast<int>(text.size())));
        case CL_XML_Node::COMMENT:
            return CL_XML_Node(xmlNewDocComment(fDoc, BAD_CAST text.c_str()));
        case CL_XML_Node::DECLARATION:
            return CL_XML_Node(xmlNewDocPI(fDoc, BAD_CAST text.c_str(), nullptr));
        default:
            return CL_XML_Node();
    }
}

void CL_XML_Document::SetRoot(const CL_XML_Node& node) {
    if (!fDoc || !node.fNode) return;
    xmlDocSetRootElement(fDoc, node.fNode);
}

CL_XML_Node CL_XML_Document::EnsureChild(const std::string& name) {
    CL_XML_Node root = GetRoot();
    if (root.IsNull()) {
        root = CreateNode(CL_XML_Node::ELEMENT, name);
        if (!root.IsNull()) SetRoot(root);
        return root;
    }
    return root.TagIsEqual(name) ? root : CL_XML_Node();
}

CL_XML_Node CL_XML_Document::GetRoot() const {
    return CL_XML_Node(fDoc ? xmlDocGetRootElement(fDoc) : nullptr);
}

bool CL_XML_Document::Transform(const CL_XML_Document& stylesheet, CL_Blob* out) const {
    InitLibraries();
    if (!fDoc || !stylesheet.fDoc || !out) return false;
    Guard guard(EntityPolicy::kLocalFiles);
    xmlResetLastError();
    xmlDocPtr copy = xmlCopyDoc(stylesheet.fDoc, 1);
    if (!copy) return false;
    xsltStylesheetPtr style = xsltParseStylesheetDoc(copy);
    if (!style) {
        xmlFreeDoc(copy);
        return false;
    }
    // libxslt hands back a stylesheet with compilation errors; it is not applied.
    if (style->errors != 0) {
        xsltFreeStylesheet(style);
        return false;
    }
    bool produced = false;
    xsltTransformContextPtr context = xsltNewTransformContext(style, fDoc);
    if (context) {
        if (sSecurity) xsltSetCtxtSecurityPrefs(sSecurity, context);
        xsltSetTransformErrorFunc(context, nullptr, SilentGeneric);
        xmlDocPtr result = xsltApplyStylesheetUser(style, fDoc, nullptr, nullptr, nullptr, context);
        if (result && context->state == XSLT_STATE_ERROR) {
            xmlFreeDoc(result);
            result = nullptr;
        }
        if (result) {
            produced = true;
            out->Clear();
            xmlOutputBufferPtr buffer =
                xmlOutputBufferCreateIO(AppendToBlob, nullptr, out, nullptr);
            if (buffer) {
                xsltSaveResultTo(buffer, result, style);
                xmlOutputBufferClose(buffer);
            }
            xmlFreeDoc(result);
        }
        xsltFreeTransformContext(context);
    }
    xsltFreeStylesheet(style);
    return produced;
}
