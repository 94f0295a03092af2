#include "list/ListDocument.h"

#include "common/AppError.h"
#include "list/AtomicFile.h"
#include "list/RowColumns.h"
#include "xml/Utf8.h"
#include "xml/XmlAccess.h"
#include "xml/XmlDoc.h"

#include <libxml/parser.h>
#include <libxml/valid.h>

#include <array>
#include <cerrno>
#include <new>
#include <string_view>
#include <sys/stat.h>

namespace {

// The list is written in the code page its declaration names.
constexpr const char* kListEncoding = "Windows-1251";
constexpr const char* kNotOpenMessage = "The download list is not open.";
// The largest list that is read at start, far beyond the many imports of
// the largest segment files it would take to reach it. A save that would
// write more is refused, so whatever is written can be read back.
constexpr off_t kMaxListBytes = off_t{1} << 30;

const xmlChar* Xml(const char* text) {
    return reinterpret_cast<const xmlChar*>(text);
}
const xmlChar* Xml(const std::string& text) {
    return Xml(text.c_str());
}

xmlNodePtr Element(ListNode* node) {
    return reinterpret_cast<xmlNodePtr>(node);
}

ListNode* Node(xmlNodePtr element) {
    return reinterpret_cast<ListNode*>(element);
}

template <class T> T* Checked(T* allocated) {
    if (!allocated) throw std::bad_alloc();
    return allocated;
}

// Replaces the value in place, so the attribute keeps its position.
void ReplaceAttributeValue(xmlAttrPtr attribute, const std::string& value) {
    if (attribute->atype == XML_ATTRIBUTE_ID) xmlRemoveID(attribute->doc, attribute);
    xmlNodePtr text = Checked(xmlNewDocText(attribute->doc, Xml(value)));
    xmlFreeNodeList(attribute->children);
    attribute->children = attribute->last = text;
    text->parent = reinterpret_cast<xmlNodePtr>(attribute);
}

// Sets an attribute: in place when present, appended after the others otherwise.
// The value is taken literally; the writer escapes markup characters.
void SetAttribute(xmlNodePtr element, const char* name, const std::string& value) {
    if (xmlAttrPtr attribute = FindAttribute(element, name))
        ReplaceAttributeValue(attribute, value);
    else
        Checked(xmlNewProp(element, Xml(name), Xml(value)));
}

// A text that the writer could not encode, or that an XML reader would reject
// when the list is loaded again, is refused before it reaches the document.
void CheckStorable(const std::string& name, const std::string& value) {
    if (!IsXmlText(value))
        throw AppError("The value of " + name +
                       " holds a character that the download list cannot keep.");
}

xmlNodePtr AppendElement(xmlDocPtr doc, xmlNodePtr parent, const std::string& name) {
    // Created without a namespace so that its name is exactly the one given.
    xmlNodePtr element = Checked(xmlNewDocNode(doc, nullptr, Xml(name), nullptr));
    xmlAddChild(parent, element);
    return element;
}

std::string Numbered(const char* prefix, long long number) {
    return prefix + std::to_string(number);
}

// The four counters of an entry, in the order they are set.
using CounterTexts = std::array<std::pair<const char*, const std::string*>, 4>;

CounterTexts Counters(const EntryCounters& counters) {
    return {{{kRowColumnAttributes[DownloadedColumn], &counters.Downloaded},
             {kRowColumnAttributes[PercentColumn], &counters.Percent},
             {kRowColumnAttributes[RemainsColumn], &counters.Remains},
             {kRowColumnAttributes[SegmentsColumn], &counters.Segments}}};
}

using NamedTexts = std::vector<std::pair<const char*, const std::string*>>;

// URL, Referer and the groups present in `values`, in the order they are written.
NamedTexts AddressAttributes(const EntryValues& values) {
    NamedTexts attributes{{kRowColumnAttributes[URLColumn], &values.URL},
                          {"Referer", &values.Referer}};
    if (values.auth) {
        attributes.emplace_back("AuthName", &values.auth->AuthName);
        attributes.emplace_back("AuthPass", &values.auth->AuthPass);
    }
    if (values.proxy) {
        attributes.emplace_back("Proxy", &values.proxy->Proxy);
        attributes.emplace_back("ProxyName", &values.proxy->ProxyName);
        attributes.emplace_back("ProxyPass", &values.proxy->ProxyPass);
    }
    return attributes;
}

// All attributes of a new entry: the row's columns first, in their order,
// then the address.
NamedTexts EntryAttributes(const EntryValues& values) {
    const std::array<const std::string*, kRowColumnCount - 1> columnTexts = {
        &values.FileName, &values.FileSize, &values.Downloaded,
        &values.Percent,  &values.Remains,  &values.Segments};
    NamedTexts attributes;
    for (std::size_t column = 0; column < columnTexts.size(); ++column)
        attributes.emplace_back(kRowColumnAttributes[column], columnTexts[column]);
    const NamedTexts address = AddressAttributes(values);
    attributes.insert(attributes.end(), address.begin(), address.end());
    if (!values.Checksum.empty()) attributes.emplace_back("Checksum", &values.Checksum);
    return attributes;
}

// Checks all four before any is set, so a text that cannot be stored
// changes nothing.
void CheckCounters(const CounterTexts& counters) {
    for (const auto& [name, value] : counters)
        CheckStorable(name, *value);
}

void SetCounters(xmlNodePtr entry, const CounterTexts& counters) {
    for (const auto& [name, value] : counters)
        SetAttribute(entry, name, *value);
}

// Rewrites S<index+1> onwards of a Begin or End element with `change`
// applied to their values: attributes are rewritten in place, new ones
// added after the last, the ones past the new end removed. Every value is
// read before any changes, so that a gap in the numbering fails without
// leaving the queue half moved. Does not save.
template <typename Change>
void ChangeQueueFrom(xmlNodePtr beginOrEnd, std::size_t index, Change change) {
    const std::size_t count = AttributeCount(beginOrEnd);
    if (index > count) throw AppError(kNullConversionMessage);
    // The queue can be long and is changed after every range: look names up
    // through one index instead of scanning the attributes for each of them.
    AttributeIndex byName(beginOrEnd);
    auto name = [](std::size_t position) {
        return Numbered("S", static_cast<long long>(position) + 1);
    };
    std::vector<std::string> values;
    values.reserve(count - index + 1);
    for (std::size_t i = index; i < count; ++i) {
        const xmlAttrPtr source = byName.Find(name(i));
        if (!source) throw AppError(kNullConversionMessage);
        values.push_back(AttributeValue(source));
    }
    change(values);
    std::vector<xmlAttrPtr> surplus;
    for (std::size_t i = index + values.size(); i < count; ++i)
        surplus.push_back(byName.Find(name(i)));
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (const xmlAttrPtr target = byName.Find(name(index + i)))
            ReplaceAttributeValue(target, values[i]);
        else
            byName.Add(Checked(xmlNewProp(beginOrEnd, Xml(name(index + i)), Xml(values[i]))));
    }
    // Removed last: the index holds their names until it is no longer asked.
    for (const xmlAttrPtr attribute : surplus)
        xmlRemoveProp(attribute);
}

// An element's attributes, names and values in their order, to be put back
// when a write of the list fails after they were changed.
class SavedAttributes {
public:
    explicit SavedAttributes(xmlNodePtr element) : element_(element) {
        for (xmlAttrPtr attribute = element->properties; attribute; attribute = attribute->next) {
            std::string name = reinterpret_cast<const char*>(attribute->name);
            if (attribute->ns && attribute->ns->prefix)
                name = reinterpret_cast<const char*>(attribute->ns->prefix) + (":" + name);
            saved_.emplace_back(std::move(name), AttributeValue(attribute));
        }
    }
    void Restore() const {
        while (element_->properties)
            xmlRemoveProp(element_->properties);
        for (const auto& [name, value] : saved_)
            Checked(xmlNewProp(element_, Xml(name), Xml(value)));
    }

private:
    xmlNodePtr element_;
    std::vector<std::pair<std::string, std::string>> saved_;
};

// Puts a new element named newName in child's place, moves child's namespace
// declarations, attributes and children to it in their order, and frees
// child.
void RenameElement(xmlDocPtr doc, xmlNodePtr child, const std::string& newName) {
    const xmlNodePtr fresh = Checked(xmlNewDocNode(doc, nullptr, Xml(newName), nullptr));
    // Namespace declarations travel along: moved attributes and children may
    // refer to them.
    fresh->nsDef = child->nsDef;
    child->nsDef = nullptr;
    while (xmlAttrPtr attribute = child->properties) {
        xmlUnlinkNode(reinterpret_cast<xmlNodePtr>(attribute));
        xmlAddChild(fresh, reinterpret_cast<xmlNodePtr>(attribute));
    }
    while (xmlNodePtr grandchild = child->children) {
        xmlUnlinkNode(grandchild);
        xmlAddChild(fresh, grandchild);
    }
    xmlReplaceNode(child, fresh);
    xmlFreeNode(child);
}

// The last top-level element, whatever its name.
xmlNodePtr RootOf(xmlDocPtr doc) {
    for (xmlNodePtr node = doc->last; node; node = node->prev)
        if (node->type == XML_ELEMENT_NODE) return node;
    return nullptr;
}

} // namespace

struct ListDocument::Tree {
    XmlDocPtr doc;
    xmlNodePtr Root() const { return RootOf(doc.get()); }
};

ListDocument::ListDocument(std::string listPath) : listPath_(std::move(listPath)) {
    xmlInitParser();
}

ListDocument::~ListDocument() = default;

void ListDocument::OpenList() {
    CloseList();
    // A save cut short by a crash leaves its temporary file; the list itself
    // is whole either way.
    RemoveLeftoverTemporaries(listPath_);
    auto tree = std::make_unique<Tree>();
    struct stat status {};
    if (stat(listPath_.c_str(), &status) == 0 || errno != ENOENT) {
        tree->doc = ParseXmlFile(listPath_, kMaxListBytes);
        tree_ = std::move(tree);
        return;
    }
    tree->doc.reset(Checked(xmlNewDoc(Xml("1.0"))));
    xmlDocPtr doc = tree->doc.get();
    doc->encoding = Checked(xmlStrdup(Xml(kListEncoding)));
    xmlDocSetRootElement(doc, Checked(xmlNewDocNode(doc, nullptr, Xml("MAIN"), nullptr)));
    // The new list stays open even when this first write fails; the next save retries.
    tree_ = std::move(tree);
    SaveList();
}

void ListDocument::CloseList() {
    tree_.reset();
}

void ListDocument::SaveList() {
    RequireOpen();
    XmlBufferPtr text;
    try {
        text = SerializeXml(tree_->doc.get(), kListEncoding);
    } catch (const AppError& error) {
        throw AppError("Cannot write " + listPath_ + ": " + error.what());
    }
    const auto size = static_cast<std::size_t>(xmlBufferLength(text.get()));
    if (size > static_cast<std::size_t>(kMaxListBytes))
        throw AppError("Cannot write " + listPath_ + ": the download list would take " +
                       std::to_string(size) + " bytes, more than the " +
                       std::to_string(kMaxListBytes) + " it can be read back from");
    ReplaceFileAtomically(listPath_, xmlBufferContent(text.get()), size);
}

int ListDocument::EntryCount() const {
    const xmlNodePtr root = tree_ ? tree_->Root() : nullptr;
    int count = 0;
    if (root)
        for (xmlNodePtr child = root->children; child; child = child->next)
            if (child->type == XML_ELEMENT_NODE) ++count;
    return count;
}

ListEntry ListDocument::FindEntry(int row) const {
    const xmlNodePtr root = tree_ ? tree_->Root() : nullptr;
    if (!root || row < 0) return {};
    return ListEntry(
        Node(FirstChildElement(root, Numbered("N", static_cast<long long>(row) + 1).c_str())));
}

void ListDocument::CheckAppendable(const EntryValues& values) const {
    RequireOpen();
    for (const auto& [name, value] : EntryAttributes(values))
        CheckStorable(name, *value);
    for (std::size_t i = 0; i < values.ranges.size(); ++i) {
        CheckStorable(Numbered("S", static_cast<long long>(i) + 1), values.ranges[i].first);
        CheckStorable(Numbered("S", static_cast<long long>(i) + 1), values.ranges[i].second);
    }
}

ListEntry ListDocument::AppendEntry(const EntryValues& values) {
    // Every text is checked first so that a refused one leaves no half-built entry.
    CheckAppendable(values);
    const NamedTexts attributes = EntryAttributes(values);
    xmlDocPtr doc = tree_->doc.get();
    const xmlNodePtr entry = AppendElement(doc, tree_->Root(), Numbered("N", EntryCount() + 1LL));
    for (const auto& [name, value] : attributes)
        Checked(xmlNewProp(entry, Xml(name), Xml(*value)));
    const xmlNodePtr segments = AppendElement(doc, entry, "Segments");
    const xmlNodePtr begin = AppendElement(doc, segments, "Begin");
    const xmlNodePtr end = AppendElement(doc, segments, "End");
    for (std::size_t i = 0; i < values.ranges.size(); ++i) {
        const std::string name = Numbered("S", static_cast<long long>(i) + 1);
        Checked(xmlNewProp(begin, Xml(name), Xml(values.ranges[i].first)));
        Checked(xmlNewProp(end, Xml(name), Xml(values.ranges[i].second)));
    }
    return ListEntry(Node(entry));
}

void ListDocument::UpdateCounters(ListEntry entry, const EntryCounters& counters) {
    const CounterTexts texts = Counters(counters);
    CheckCounters(texts);
    SetCounters(Element(entry.node_), texts);
}

void ListDocument::TakeRange(ListEntry entry, std::size_t index, const EntryCounters& counters) {
    ChangeQueue(entry, index, [&](xmlNodePtr begin, xmlNodePtr end) {
        for (const xmlNodePtr queueEnd : {begin, end})
            ChangeQueueFrom(queueEnd, index,
                            [](std::vector<std::string>& values) { values.erase(values.begin()); });
        UpdateCounters(entry, counters);
    });
}

void ListDocument::RecordRangePrefix(ListEntry entry, std::size_t index, const std::string& begin,
                                     const EntryCounters& counters) {
    CheckStorable("S" + std::to_string(index + 1), begin);
    ChangeQueue(entry, index, [&](xmlNodePtr first, xmlNodePtr) {
        ChangeQueueFrom(first, index, [&](std::vector<std::string>& values) { values[0] = begin; });
        UpdateCounters(entry, counters);
    });
}

void ListDocument::SplitRange(ListEntry entry, std::size_t index, const std::string& middle,
                              const EntryCounters& counters) {
    CheckStorable("S" + std::to_string(index + 1), middle);
    ChangeQueue(entry, index, [&](xmlNodePtr begin, xmlNodePtr end) {
        // [b, e] becomes [b, middle] and [middle, e].
        ChangeQueueFrom(begin, index + 1, [&](std::vector<std::string>& values) {
            values.insert(values.begin(), middle);
        });
        ChangeQueueFrom(end, index, [&](std::vector<std::string>& values) {
            values.insert(values.begin(), middle);
        });
        UpdateCounters(entry, counters);
    });
}

template <typename Change>
void ListDocument::ChangeQueue(ListEntry entry, std::size_t index, Change change) {
    RequireOpen();
    RequireEntry(entry);
    const auto [begin, end] = entry.QueueEnds();
    const std::string name = "S" + std::to_string(index + 1);
    if (!begin || !FindAttribute(Element(begin), name.c_str()) ||
        !FindAttribute(Element(end), name.c_str()))
        throw AppError(kNullConversionMessage);
    ChangeQueueAndSave(entry, change);
}

template <typename Change> void ListDocument::ChangeQueueAndSave(ListEntry entry, Change change) {
    const auto [begin, end] = entry.QueueEnds();
    if (!begin) throw AppError(kNullConversionMessage);
    const SavedAttributes entryBefore(Element(entry.node_)), beginBefore(Element(begin)),
        endBefore(Element(end));
    try {
        change(Element(begin), Element(end));
        SaveList();
    } catch (...) {
        // The file still holds the queue as it was; so does the document again.
        entryBefore.Restore();
        beginBefore.Restore();
        endBefore.Restore();
        throw;
    }
}

void ListDocument::ReplaceAddress(ListEntry entry, const EntryValues& values) {
    RequireOpen();
    RequireEntry(entry);
    const NamedTexts address = AddressAttributes(values);
    for (const auto& [name, value] : address)
        CheckStorable(name, *value);
    CheckStorable("Checksum", values.Checksum);
    const xmlNodePtr element = Element(entry.node_);
    const SavedAttributes before(element);
    try {
        for (const char* name :
             {"URL", "Referer", "AuthName", "AuthPass", "Proxy", "ProxyName", "ProxyPass"})
            if (xmlAttrPtr attribute = FindAttribute(element, name)) xmlRemoveProp(attribute);
        // The address goes right after Segments, where an import puts it, or
        // last when the entry has no Segments attribute.
        xmlAttrPtr after = FindAttribute(element, kRowColumnAttributes[SegmentsColumn]);
        for (const auto& [name, value] : address) {
            const xmlAttrPtr added = Checked(xmlNewProp(element, Xml(name), Xml(*value)));
            if (!after) continue;
            // xmlNewProp appends; move the new attribute behind `after`.
            xmlUnlinkNode(reinterpret_cast<xmlNodePtr>(added));
            xmlAddNextSibling(reinterpret_cast<xmlNodePtr>(after),
                              reinterpret_cast<xmlNodePtr>(added));
            after = added;
        }
        if (values.Checksum.empty()) {
            if (xmlAttrPtr checksum = FindAttribute(element, "Checksum")) xmlRemoveProp(checksum);
        } else {
            SetAttribute(element, "Checksum", values.Checksum);
        }
        SaveList();
    } catch (...) {
        before.Restore();
        throw;
    }
}

void ListDocument::QueueWholeFile(ListEntry entry, const EntryCounters& counters) {
    RequireOpen();
    RequireEntry(entry);
    const std::string size = entry.AttributeText(kRowColumnAttributes[FileSizeColumn]);
    ChangeQueueAndSave(entry, [&](xmlNodePtr begin, xmlNodePtr end) {
        const auto refill = [](xmlNodePtr queueEnd, const std::string& value) {
            while (queueEnd->properties)
                xmlRemoveProp(queueEnd->properties);
            Checked(xmlNewProp(queueEnd, Xml("S1"), Xml(value)));
        };
        refill(begin, "0");
        refill(end, size);
        UpdateCounters(entry, counters);
    });
}

void ListDocument::DeleteEntry(int row) {
    RequireOpen();
    const ListEntry entry = FindEntry(row);
    if (!entry)
        throw AppError("The download list has no entry " +
                       Numbered("N", static_cast<long long>(row) + 1) + ".");
    const xmlNodePtr root = tree_->Root();
    xmlUnlinkNode(Element(entry.node_));
    xmlFreeNode(Element(entry.node_));
    // Every remaining entry is re-created under its new number. Only elements
    // are numbered, so that N<k+1> stays the k-th entry even in a file that
    // holds a comment between them.
    long long number = 0;
    for (xmlNodePtr child = root->children; child;) {
        const xmlNodePtr next = child->next;
        if (child->type == XML_ELEMENT_NODE)
            RenameElement(tree_->doc.get(), child, Numbered("N", ++number));
        child = next;
    }
    SaveList();
}

ListNode* ListDocument::RootNode() const {
    return tree_ ? Node(tree_->Root()) : nullptr;
}

void ListDocument::RequireOpen() const {
    if (!tree_ || !tree_->Root()) throw AppError(kNotOpenMessage);
}

void ListDocument::RequireEntry(ListEntry entry) const {
    const xmlNodePtr element = Element(entry.node_);
    if (!element || element->type != XML_ELEMENT_NODE || element->doc != tree_->doc.get())
        throw AppError("The element does not belong to the download list.");
}
