#include "import/core/SegmentFile.h"

#include "common/AppError.h"
#include "common/FolderSync.h"
#include "common/Texts.h"
#include "common/UniqueFd.h"
#include "xml/XmlAccess.h"
#include "xml/XmlDoc.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view kMarker = "<?XML VERSION="; // already upper-cased
// The largest segment file read: room for several hundred thousand ranges.
constexpr off_t kMaxSegmentFileBytes = off_t{32} << 20;

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

xmlNode* RequiredChild(xmlNode* parent, const char* name) {
    xmlNode* child = FirstChildElement(parent, name);
    if (!child)
        throw AppError(std::string("The segment file has no ") + name + " element in " +
                       reinterpret_cast<const char*>(parent->name));
    return child;
}

std::string AttributeText(xmlNode* element, const char* name) {
    const xmlAttr* attribute = FindAttribute(element, name);
    if (!attribute) throw AppError(kNullConversionMessage);
    return AttributeValue(attribute);
}

std::string IndexedText(const AttributeIndex& index, const std::string& name) {
    const xmlAttr* attribute = index.Find(name);
    if (!attribute) throw AppError(kNullConversionMessage);
    return AttributeValue(attribute);
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

std::string IncompleteFilePath(const std::string& segmentFilePath, const std::string& fileName) {
    const std::string name = fileName.substr(FolderOf(fileName, kFolderSeparators).size());
    if (name.empty() || name == "." || name == "..")
        throw AppError("The segment file names no valid file: '" + fileName + "'");
    return FolderOf(segmentFilePath, kFolderSeparators) + name;
}

ImportValues ReadSegmentFile(const std::string& path) {
    UniqueFd fd = OpenForReading(path);
    // No entity substitution, no DTD loading, no network; a failure carries
    // the parser's reason, the line and its first 40 characters.
    XmlDocPtr doc = ParseXmlFd(fd.Get(), kMaxSegmentFileBytes);

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
    values.RangeCount = static_cast<int64_t>(AttributeCount(end));
    if (values.RangeCount > 0) {
        const AttributeIndex begins(RequiredChild(segments, "Begin"));
        const AttributeIndex ends(end);
        values.Ranges.reserve(static_cast<size_t>(values.RangeCount));
        for (int64_t i = 1; i <= values.RangeCount; ++i) {
            const std::string name = "n" + std::to_string(i);
            std::string first = IndexedText(begins, name);
            values.Ranges.emplace_back(std::move(first), IndexedText(ends, name));
        }
    }
    // Values far apart (a huge Size with a negative Loaded) do not wrap.
    if (__builtin_sub_overflow(size, loaded, &values.Remains))
        throw AppError("The remaining size of '" + values.SizeText + "' minus '" +
                       values.LoadedText + "' bytes is out of range");
    return values;
}
