#include "list/ListEntry.h"

#include "common/AppError.h"
#include "xml/XmlAccess.h"

namespace {

xmlNodePtr Element(ListNode* node) {
    return reinterpret_cast<xmlNodePtr>(node);
}

ListNode* Node(xmlNodePtr element) {
    return reinterpret_cast<ListNode*>(element);
}

std::string RequiredText(xmlNodePtr element, const char* name) {
    const xmlAttrPtr attribute = element && name ? FindAttribute(element, name) : nullptr;
    if (!attribute) throw AppError(kNullConversionMessage);
    return AttributeValue(attribute);
}

} // namespace

std::string ListEntry::AttributeText(const char* name) const {
    return RequiredText(Element(node_), name);
}

bool ListEntry::HasSegmentQueue() const {
    return QueueEnds().first != nullptr;
}

RangeTexts ListEntry::FirstRange() const {
    const auto [begin, end] = QueueEnds();
    std::string first = RequiredText(Element(begin), "S1");
    return {std::move(first), RequiredText(Element(end), "S1")};
}

std::vector<RangeTexts> ListEntry::Queue() const {
    const auto [begin, end] = QueueEnds();
    std::vector<RangeTexts> ranges;
    if (!begin) return ranges;
    // Indexed once, so that a long queue is not scanned once per range.
    const AttributeIndex firsts(Element(begin)), lasts(Element(end));
    for (int i = 1;; ++i) {
        const std::string name = "S" + std::to_string(i);
        const xmlAttrPtr first = firsts.Find(name);
        const xmlAttrPtr last = lasts.Find(name);
        if (!first || !last) return ranges;
        ranges.emplace_back(AttributeValue(first), AttributeValue(last));
    }
}

std::pair<ListNode*, ListNode*> ListEntry::QueueEnds() const {
    const xmlNodePtr segments = node_ ? FirstChildElement(Element(node_), "Segments") : nullptr;
    const xmlNodePtr begin = segments ? FirstChildElement(segments, "Begin") : nullptr;
    const xmlNodePtr end = segments ? FirstChildElement(segments, "End") : nullptr;
    if (!begin || !end) return {nullptr, nullptr};
    return {Node(begin), Node(end)};
}
