#pragma once

#include "list/ListEntry.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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
    // As the list keeps it ("sha256:9f86d0..."); empty: not written. It
    // stands after every other attribute.
    std::string Checksum;
    std::vector<RangeTexts> ranges;
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
    bool IsOpen() const { return tree_ != nullptr; }

    // Parses the file at the list path, or creates and writes a new empty list
    // there. Throws AppError with the parser's report; no document is then open.
    void OpenList();
    // Releases the document without writing it.
    void CloseList();
    // Writes the whole document to the list path, replacing the file atomically.
    void SaveList();

    int EntryCount() const;
    // Entry N<row+1>: the first child of the root with that name, or no entry.
    ListEntry FindEntry(int row) const;
    // Throws the AppError that AppendEntry would throw for these values (no
    // list open, a text the list cannot keep), and changes nothing.
    void CheckAppendable(const EntryValues& values) const;
    // Adds the entry after the last one. Does not save.
    ListEntry AppendEntry(const EntryValues& values);
    // What a fetched range changes, written in one save: range `index` of
    // the entry's queue (0 for the first) leaves it, the later ones move down
    // one place, and the four counters are set. The file on disk thus never
    // holds one end of the queue advanced without the other or without the
    // counters, whenever the program dies. When the save fails, the document
    // is put back as it was and the error is thrown.
    void TakeRange(ListEntry entry, std::size_t index, const EntryCounters& counters);
    void TakeFirstRange(ListEntry entry, const EntryCounters& counters) {
        TakeRange(entry, 0, counters);
    }
    // What a durable prefix of range `index` changes, written in one save:
    // its Begin becomes `begin` and the four counters are set (Segments as
    // it was). When the save fails, the document is put back as it was and
    // the error is thrown.
    void RecordRangePrefix(ListEntry entry, std::size_t index, const std::string& begin,
                           const EntryCounters& counters);
    void RecordFirstRangePrefix(ListEntry entry, const std::string& begin,
                                const EntryCounters& counters) {
        RecordRangePrefix(entry, 0, begin, counters);
    }
    // A split, written in one save: range `index`, [b, e], becomes [b, middle]
    // and [middle, e] next to each other (counted End - Begin, so the
    // counters stay what they were but for Segments, which is set with the
    // others). When the save fails, the document is put back as it was and
    // the error is thrown.
    void SplitRange(ListEntry entry, std::size_t index, const std::string& middle,
                    const EntryCounters& counters);
    // Gives the entry the URL, Referer and authorization and proxy groups of
    // `values`, and its Checksum (its other members are not read), then
    // saves. Those attributes stand after Segments in the order AppendEntry
    // writes them, and a group that `values` leaves out is removed; a
    // Checksum keeps its place or is added last, an empty one is removed;
    // every other attribute keeps its place and the queue is not touched. When a text cannot be
    // stored or the save fails, the document is put back as it was and the error is thrown.
    void ReplaceAddress(ListEntry entry, const EntryValues& values);
    // Queues the whole file anew, written in one save: the queue becomes the
    // one range [0, FileSize] and the counters are set. When the save fails,
    // the document is put back as it was and the error is thrown.
    void QueueWholeFile(ListEntry entry, const EntryCounters& counters);
    // Removes entry N<row+1>, renumbers the rest N1.., then saves.
    void DeleteEntry(int row);

private:
    struct Tree;

    // Sets Downloaded, Percent, Remains and Segments in place, in this
    // order, in memory only.
    void UpdateCounters(ListEntry entry, const EntryCounters& counters);
    // Runs `change` on the entry's Begin and End elements, which must hold
    // range `index`, and saves; puts back the entry and its queue when
    // either fails.
    template <typename Change> void ChangeQueue(ListEntry entry, std::size_t index, Change change);
    // The same without asking for a range: the entry needs only its queue.
    template <typename Change> void ChangeQueueAndSave(ListEntry entry, Change change);

    // The root element, or null while no list is open.
    ListNode* RootNode() const;
    void RequireOpen() const;
    void RequireEntry(ListEntry entry) const;

    friend ElementSnapshot RootSnapshot(const ListDocument& list);

    std::string listPath_;
    // The parsed or created document; null while no list is open.
    std::unique_ptr<Tree> tree_;
};
