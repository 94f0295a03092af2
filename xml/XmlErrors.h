#pragma once

#include <libxml/xmlerror.h>

#include <string>

// While alive, libxml2's reports on this thread are kept here instead of being
// printed; the handler that was installed before comes back afterwards.
class XmlErrorCapture {
public:
    XmlErrorCapture();
    ~XmlErrorCapture();
    XmlErrorCapture(const XmlErrorCapture&) = delete;
    XmlErrorCapture& operator=(const XmlErrorCapture&) = delete;

    bool HasError() const { return level_ >= XML_ERR_ERROR; }
    const std::string& Reason() const { return reason_; }
    int Line() const { return line_; }

private:
    void Record(const xmlError& error);

    void* previousContext_;
    xmlStructuredErrorFunc previousHandler_;
    int level_ = XML_ERR_NONE;
    std::string reason_;
    int line_ = 0;
};

// The message of a parse failure, built from its parts:
// "<reason>\r\nLine: <line>\r\n<lineText>".
std::string ParseFailureMessage(const std::string& reason, int line, const std::string& lineText);

// What a parse failure quotes of line `line` (counted from 1) of the file open
// at fd: its first 40 characters as UTF-8, decoded from the encoding the
// file's declaration names, without the line break. Empty for line 0.
std::string QuotedLine(int fd, int line);
