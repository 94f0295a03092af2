#pragma once

#include <libxml/tree.h>

#include <memory>
#include <string>
#include <sys/types.h>

// Owning handles for libxml2 objects.
struct XmlDocFree {
    void operator()(xmlDoc* doc) const noexcept { xmlFreeDoc(doc); }
};
using XmlDocPtr = std::unique_ptr<xmlDoc, XmlDocFree>;

struct XmlBufferFree {
    void operator()(xmlBuffer* buffer) const noexcept { xmlBufferFree(buffer); }
};
using XmlBufferPtr = std::unique_ptr<xmlBuffer, XmlBufferFree>;

struct XmlCharFree {
    void operator()(xmlChar* text) const noexcept { xmlFree(text); }
};
using XmlCharPtr = std::unique_ptr<xmlChar, XmlCharFree>;

// Parses the XML file at path in the encoding its declaration names, dropping
// whitespace-only text between elements, without entity substitution, DTD
// loading or network access. A file larger than maxBytes, or with a start tag
// of more than 20000 attributes, is refused. On failure throws AppError with
// the text "<reason>\r\nLine: <line>\r\n<first 40 characters of that line>";
// an unreadable file gives the system's reason and line 0.
XmlDocPtr ParseXmlFile(const std::string& path, off_t maxBytes);
// The same for a regular file already open for reading (read from its start).
XmlDocPtr ParseXmlFd(int fd, off_t maxBytes, const char* url = nullptr);

// The whole document as text in the given encoding, with the declaration
// naming it. Characters the encoding cannot hold become character references.
// Throws AppError when the document cannot be encoded, or when its text would
// not load again (a name or a DTD that the encoding cannot hold).
XmlBufferPtr SerializeXml(xmlDoc* doc, const char* encoding);
