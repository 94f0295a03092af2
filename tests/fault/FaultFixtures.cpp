#include "FaultFixtures.h"

#include "common/AppError.h"
#include "common/Texts.h"
#include "list/ListDocument.h"

std::string StoredEntry::Text(const std::string& name) const {
    for (const auto& [key, value] : attributes)
        if (key == name) return value;
    return {};
}

bool StoredEntry::Has(const std::string& name) const {
    for (const auto& attribute : attributes)
        if (attribute.first == name) return true;
    return false;
}

namespace {

std::vector<std::pair<std::string, std::string>> AttributesOf(XmlElement element) {
    std::vector<std::pair<std::string, std::string>> result;
    for (xmlAttrPtr a = element->properties; a; a = a->next) {
        const char* name = reinterpret_cast<const char*>(a->name);
        result.emplace_back(name, ListDocument::AttributeText(element, name));
    }
    return result;
}

// The queue in S1, S2, .. order; a gap in the numbering ends it.
std::vector<std::string> QueueOf(XmlElement element) {
    std::vector<std::string> queue;
    if (!element) return queue;
    const size_t count = AttributesOf(element).size();
    for (size_t i = 1; i <= count; ++i) {
        try {
            queue.push_back(
                ListDocument::AttributeText(element, ("S" + std::to_string(i)).c_str()));
        } catch (const AppError&) {
            queue.push_back("<missing S" + std::to_string(i) + ">");
        }
    }
    return queue;
}

} // namespace

StoredList ReadStoredList(const std::string& listPath) {
    StoredList list;
    if (!FileExists(listPath)) {
        list.error = "no file";
        return list;
    }
    ListDocument document(listPath);
    try {
        document.OpenList();
    } catch (const AppError& e) {
        list.error = e.what();
        return list;
    }
    list.parsed = true;
    for (int row = 0; row < document.EntryCount(); ++row) {
        XmlElement element = document.FindEntry(row);
        StoredEntry entry;
        if (element) {
            entry.attributes = AttributesOf(element);
            XmlElement segments = ListDocument::ChildElement(element, "Segments");
            entry.begins = QueueOf(ListDocument::ChildElement(segments, "Begin"));
            entry.ends = QueueOf(ListDocument::ChildElement(segments, "End"));
        }
        list.entries.push_back(std::move(entry));
    }
    return list;
}

std::string CounterViolations(const StoredEntry& entry) {
    std::string problems;
    try {
        const int64_t size = StrToInt64(entry.Text("FileSize"));
        const int64_t downloaded = StrToInt64(entry.Text("Downloaded"));
        const int64_t remains = StrToInt64(entry.Text("Remains"));
        const int64_t segments = StrToInt64(entry.Text("Segments"));
        if (remains != size - downloaded)
            problems += "Remains " + entry.Text("Remains") + " is not FileSize - Downloaded; ";
        if (segments != static_cast<int64_t>(entry.begins.size()))
            problems += "Segments " + entry.Text("Segments") + " but Begin holds " +
                        std::to_string(entry.begins.size()) + " ranges; ";
        if (entry.begins.size() != entry.ends.size())
            problems += "Begin holds " + std::to_string(entry.begins.size()) + " and End " +
                        std::to_string(entry.ends.size()) + " ranges; ";
        if (entry.Text("Percent") != PercentText(downloaded, size))
            problems += "Percent " + entry.Text("Percent") + " does not match Downloaded; ";
    } catch (const AppError& e) {
        problems += std::string("a counter is not a number: ") + e.what();
    }
    return problems;
}

std::vector<std::string> RunArgs(const std::string& listPath, int row) {
    return {"run", listPath, std::to_string(row)};
}
