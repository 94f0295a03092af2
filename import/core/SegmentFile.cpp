#include "import/core/SegmentFile.h"

#include "common/AppError.h"
#include "common/Texts.h"
#include "common/UniqueFd.h"
#include "list/XmlDoc.h"


#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace {

constexpr std::string_view kMarker = "<?XML VERSION="; // already upper-cased

// Opens a regular file for reading. Folders, pipes and devices are refused:
// reading them could block forever or never meet the end of a line.
UniqueFd OpenForReading(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.Get() < 0) throw AppError(IoErrorText(errno));
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) throw AppError(IoErrorText(errno));
    if (S_ISDIR(st.st_mode)) throw AppError(IoErrorText(EISDIR));
    if (!S_ISREG(st.st_mode)) throw AppError(IoErrorText(EACCES));
    return fd;
}

char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool IsLineBreak(char c) {
    return c == '\n' || c == '\r';
}

bool IsFolderSeparator(char c) {
    return c == '\\' || c == ':' || c == '/';
}

// Matches the qualified name: a prefixed element or attribute never matches.
bool HasName(const xmlChar* name, const xmlNs* ns, const char* wanted) {
    return xmlStrcmp(name, BAD_CAST wanted) == 0 && (ns == nullptr || ns->prefix == nullptr);
}

xmlNode* FirstChildElement(xmlNode* parent, const char* name) {
    for (xmlNode* child = parent->children; child; child = child->next)
        if (child->type == XML_ELEMENT_NODE && HasName(child->name, child->ns, name)) return child;
    return nullptr;
}

xmlNode* RequiredChild(xmlNode* parent, const char* name) {
    xmlNode* child = FirstChildElement(parent, name);
    if (!child)
        throw AppError(std::string("The segment file has no ") + name + " element in " +
                       reinterpret_cast<const char*>(parent->name));
    return child;
}

// The attribute's value as written. Entity references other than the five
// predefined ones are never expanded: such a value is refused instead.
std::string ValueText(const xmlAttr* attr) {
    std::string value;
    for (const xmlNode* part = attr->children; part; part = part->next) {
        if (part->type == XML_TEXT_NODE && part->content) {
            value += reinterpret_cast<const char*>(part->content);
        } else if (part->type == XML_ENTITY_REF_NODE) {
            throw AppError(std::string("The segment file refers to the entity '") +
                           reinterpret_cast<const char*>(part->name) + "', which is not read");
        }
    }
    return value;
}

std::string AttributeText(const xmlNode* element, const char* name) {
    for (const xmlAttr* attr = element->properties; attr; attr = attr->next)
        if (HasName(attr->name, attr->ns, name)) return ValueText(attr);
    throw AppError(kNullConversionMessage);
}

// The unprefixed attributes of an element by name, so that a long queue is
// read without scanning every attribute once per range.
class AttributeIndex {
public:
    explicit AttributeIndex(const xmlNode* element) {
        for (const xmlAttr* attr = element->properties; attr; attr = attr->next)
            if (attr->ns == nullptr || attr->ns->prefix == nullptr)
                byName_.emplace(reinterpret_cast<const char*>(attr->name), attr);
    }
    std::string Text(const std::string& name) const {
        const auto found = byName_.find(name);
        if (found == byName_.end()) throw AppError(kNullConversionMessage);
        return ValueText(found->second);
    }

private:
    std::unordered_map<std::string_view, const xmlAttr*> byName_;
};

int64_t AttributeCount(const xmlNode* element) {
    int64_t count = 0;
    for (const xmlAttr* attr = element->properties; attr; attr = attr->next)
        ++count;
    return count;
}

} // namespace

std::string IoErrorText(int error) {
    switch (error) {
    case ENOENT:
        return "File not found";
    case ENOTDIR:
    case ENAMETOOLONG:
    case EINVAL:
        return "Invalid filename";
    case EMFILE:
    case ENFILE:
        return "Too many open files";
    case EACCES:
    case EPERM:
    case EISDIR:
        return "File access denied";
    default:
        return "I/O error " + std::to_string(error);
    }
}

bool IsSegmentFile(const std::string& path) {
    UniqueFd fd = OpenForReading(path);
    // Scans the first line in blocks, keeping the last few bytes of each block
    // so a marker that spans two blocks is found too.
    std::string window;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd.Get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw AppError(IoErrorText(errno));
        if (n == 0) return false;
        bool lineEnded = false;
        for (ssize_t i = 0; i < n && !lineEnded; ++i) {
            if (IsLineBreak(buf[i]))
                lineEnded = true;
            else
                window += AsciiUpper(buf[i]);
        }
        if (window.find(kMarker) != std::string::npos) return true;
        if (lineEnded) return false;
        if (window.size() >= kMarker.size()) window.erase(0, window.size() - (kMarker.size() - 1));
    }
}

std::string NotSegmentFileMessage(const std::string& path) {
    return "File \"" + path + "\" is not a Vesko's .SDL file!";
}

std::string FolderOfPath(const std::string& path) {
    for (size_t i = path.size(); i > 0; --i)
        if (IsFolderSeparator(path[i - 1])) return path.substr(0, i);
    return {};
}

std::string IncompleteFilePath(const std::string& segmentFilePath, const std::string& fileName) {
    const std::string name = fileName.substr(FolderOfPath(fileName).size());
    if (name.empty() || name == "." || name == "..")
        throw AppError("The segment file names no valid file: '" + fileName + "'");
    return FolderOfPath(segmentFilePath) + name;
}

ImportValues ReadSegmentFile(const std::string& path) {
    UniqueFd fd = OpenForReading(path);
    // No entity substitution, no DTD loading, no network; a failure carries
    // the parser's reason, the line and its first 40 characters.
    XmlDocPtr doc = ParseXmlFd(fd.Get());

    xmlNode* root = xmlDocGetRootElement(doc.get());
    if (!root) throw AppError("The segment file has no document element");
    xmlNode* n1 = RequiredChild(root, "n1");

    ImportValues values;
    values.IncompletePath = IncompleteFilePath(path, AttributeText(n1, "File_name"));
    values.SizeText = AttributeText(n1, "Size");
    values.LoadedText = AttributeText(n1, "Loaded");
    const int64_t loaded = StrToInt64(values.LoadedText);
    const int64_t size = StrToInt64(values.SizeText);
    values.PercentText = PercentText(loaded, size);

    xmlNode* segments = RequiredChild(n1, "Segments");
    xmlNode* end = RequiredChild(segments, "End");
    values.RangeCount = AttributeCount(end);
    if (values.RangeCount > 0) {
        const AttributeIndex begins(RequiredChild(segments, "Begin"));
        const AttributeIndex ends(end);
        values.Ranges.reserve(static_cast<size_t>(values.RangeCount));
        for (int64_t i = 1; i <= values.RangeCount; ++i) {
            const std::string name = "n" + std::to_string(i);
            std::string first = begins.Text(name);
            values.Ranges.emplace_back(std::move(first), ends.Text(name));
        }
    }
    // Values far apart (a huge Size with a negative Loaded) do not wrap.
    if (__builtin_sub_overflow(size, loaded, &values.Remains))
        throw AppError("The remaining size of '" + values.SizeText + "' minus '" +
                       values.LoadedText + "' bytes is out of range");
    return values;
}
