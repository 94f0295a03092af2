#pragma once

#include "xml/XmlDoc.h"

#include <libxml/tree.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

// An element of the open list document. It stays valid while the element
// belongs to the document (DeleteEntry re-creates every entry element).
using XmlElement = xmlNodePtr;

// The texts of a new entry, in the order they are written.
struct EntryValues {
    std::string FileName, FileSize, Downloaded, Percent, Remains, Segments, URL, Referer;
    struct Auth {
        std::string AuthName, AuthPass;
    };
    struct Proxy {
        std::string Proxy, ProxyName, ProxyPass;
    };
    std::optional<Auth> auth;   // absent: neither attribute is written
    std::optional<Proxy> proxy; // absent: none of the three is written
    std::vector<std::pair<std::string, std::string>> ranges; // begin and end texts
};

// The download list: List.xml held in memory as the master copy and written
// whole after every change. All calls happen on the window thread.
class ListDocument {
public:
    explicit ListDocument(std::string listPath);
    ~ListDocument();
    ListDocument(const ListDocument&) = delete;
    ListDocument& operator=(const ListDocument&) = delete;

    const std::string& ListPath() const { return listPath_; }
    bool IsOpen() const { return doc_ != nullptr; }

    // Parses the file at the list path, or creates and writes a new empty list
    // there. Throws AppError with the parser's report; no document is then open.
    void OpenList();
    // Releases the document without writing it.
    void CloseList();
    // Writes the whole document to the list path, replacing the file atomically.
    void SaveList();

    int EntryCount() const;
    // The first child of the root named "N<row+1>", or nullptr.
    XmlElement FindEntry(int row) const;
    XmlElement AppendEntry(const EntryValues& values);
    void UpdateCounters(XmlElement entry, const std::string& downloaded, const std::string& percent,
                        const std::string& remains, const std::string& segments);
    // Drops S1 of a Begin or End element (shifting the rest down), then saves.
    void AdvanceQueue(XmlElement beginOrEnd);
    // What a fetched range changes, written in one save: drops S1 of the
    // entry's Begin and End and sets its four counters. The file on disk thus
    // never holds one end of the queue advanced without the other or without
    // the counters, whenever the program dies. When the save fails, the
    // document is put back as it was and the error is thrown.
    void TakeFirstRange(XmlElement entry, XmlElement begin, XmlElement end,
                        const std::string& downloaded, const std::string& percent,
                        const std::string& remains, const std::string& segments);
    // Removes entry N<row+1>, renumbers the rest N1.., then saves.
    void DeleteEntry(int row);
    // Puts a new node named newName in child's place under parent, moves child's
    // attributes and children to it in their order, frees child and returns the
    // new node. Does not save.
    XmlElement RenameElement(XmlElement parent, XmlElement child, const std::string& newName);

    // The attribute's text; throws AppError(kNullConversionMessage) when absent.
    static std::string AttributeText(XmlElement element, const char* name);
    // The first child element with this name, or nullptr.
    static XmlElement ChildElement(XmlElement parent, const char* name);

private:
    XmlElement Root() const;
    void RequireOpen() const;
    void RequireElement(XmlElement element) const;

    std::string listPath_;
    XmlDocPtr doc_;
};
