// Where libxml2's diagnostics go while the library calls it. libxml2 prints errors to
// the process's stderr unless a thread installs handlers of its own; the library never
// prints for bad input, so each call into libxml2 runs inside an XMLErrorScope.
#pragma once

#include <libxml/xmlerror.h>

#include <string>

namespace lumo_xml {

// For its lifetime, routes the calling thread's libxml2 errors away from stderr: the
// structured ones stay recorded as libxml2's last error of the thread
// (xmlGetLastError), and generic messages are kept as text for GenericMessages. The
// handlers found on entry, a host application's included, are restored on exit. One
// scope belongs to one thread; scopes may nest.
class XMLErrorScope {
public:
    XMLErrorScope();
    ~XMLErrorScope();
    XMLErrorScope(const XMLErrorScope&) = delete;
    XMLErrorScope& operator=(const XMLErrorScope&) = delete;

private:
    xmlStructuredErrorFunc fStructured;
    void* fStructuredContext;
    xmlGenericErrorFunc fGeneric;
    void* fGenericContext;
};

// Generic messages libxml2 gave on this thread since the outermost scope began, at
// most a few kilobytes.
const std::string& GenericMessages();

}  // namespace lumo_xml
