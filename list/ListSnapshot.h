#pragma once

#include "list/ListDocument.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

// A copy of an element of the open list and of everything below it, as names
// and texts: for tests and checks that look at the whole stored form rather
// than at what the program reads of an entry.
struct ElementSnapshot {
    // The element's name; "#other" for a node that is not an element, which
    // then has neither attributes nor children here.
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes; // in document order
    std::vector<ElementSnapshot> children;                       // in document order

    // The first child element with this name, or null.
    const ElementSnapshot* Child(const std::string& childName) const;
    // The text of the attribute with this name, or nothing when it is absent.
    std::optional<std::string> Attribute(const std::string& attributeName) const;

    bool operator==(const ElementSnapshot&) const = default;
};

// The entry with its Segments, Begin and End; an empty snapshot for no entry.
ElementSnapshot SnapshotOf(ListEntry entry);
// The root with every entry; an empty snapshot while no list is open.
ElementSnapshot RootSnapshot(const ListDocument& list);
