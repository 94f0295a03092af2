#include "list/ListSnapshot.h"

#include "xml/XmlAccess.h"

namespace {

ElementSnapshot Snapshot(const xmlNode* node) {
    ElementSnapshot snapshot;
    if (!node) return snapshot;
    if (node->type != XML_ELEMENT_NODE) {
        snapshot.name = "#other";
        return snapshot;
    }
    snapshot.name = reinterpret_cast<const char*>(node->name);
    for (const xmlAttr* attribute = node->properties; attribute; attribute = attribute->next) {
        std::string name = reinterpret_cast<const char*>(attribute->name);
        if (attribute->ns && attribute->ns->prefix)
            name = reinterpret_cast<const char*>(attribute->ns->prefix) + (":" + name);
        snapshot.attributes.emplace_back(std::move(name), AttributeValue(attribute));
    }
    for (const xmlNode* child = node->children; child; child = child->next)
        snapshot.children.push_back(Snapshot(child));
    return snapshot;
}

const xmlNode* Element(const ListNode* node) {
    return reinterpret_cast<const xmlNode*>(node);
}

} // namespace

const ElementSnapshot* ElementSnapshot::Child(const std::string& childName) const {
    for (const ElementSnapshot& child : children)
        if (child.name == childName) return &child;
    return nullptr;
}

std::optional<std::string> ElementSnapshot::Attribute(const std::string& attributeName) const {
    for (const auto& [key, value] : attributes)
        if (key == attributeName) return value;
    return std::nullopt;
}

ElementSnapshot SnapshotOf(ListEntry entry) {
    return Snapshot(Element(entry.node_));
}

ElementSnapshot RootSnapshot(const ListDocument& list) {
    return Snapshot(Element(list.RootNode()));
}
