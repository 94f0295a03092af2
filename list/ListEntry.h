#pragma once

#include <string>
#include <utility>
#include <vector>

// The begin and end texts of one queued range.
using RangeTexts = std::pair<std::string, std::string>;

// The counters a fetched range changes, in the order they are set.
struct EntryCounters {
    std::string Downloaded, Percent, Remains, Segments;
};

// An element of the open list, such as the one an entry stands for; only
// list/ sees what it is.
struct ListNode;
struct ElementSnapshot;

// One entry of the open download list: a small handle that reads the
// document as it is now. It stays valid while the entry belongs to the
// document, across AppendEntry, but not across DeleteEntry, which re-creates
// every entry. A default-made handle refers to no entry.
class ListEntry {
public:
    ListEntry() = default;

    explicit operator bool() const { return node_ != nullptr; }
    friend bool operator==(ListEntry, ListEntry) = default;

    // The attribute's text; throws AppError(kNullConversionMessage) when it
    // is absent.
    std::string AttributeText(const char* name) const;
    // Whether the entry holds its queue: a Segments element with Begin and End.
    bool HasSegmentQueue() const;
    // The texts of S1 of Begin and of End, the next range to fetch; throws as
    // AttributeText does when either is absent.
    RangeTexts FirstRange() const;
    // Every queued range, S1 onwards, as long as Begin and End both hold
    // one; empty without a queue.
    std::vector<RangeTexts> Queue() const;

private:
    friend class ListDocument;
    friend ElementSnapshot SnapshotOf(ListEntry entry);

    explicit ListEntry(ListNode* node) : node_(node) {}
    // The Begin and End elements of the queue; both null unless the entry
    // has its queue.
    std::pair<ListNode*, ListNode*> QueueEnds() const;

    ListNode* node_ = nullptr;
};
