#include "import/core/SegmentFile.h"

#include "common/AppError.h"
#include "common/Texts.h"

#include <QString>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cerrno>
#include <fcntl.h>
#include <iconv.h>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view kMarker = "<?XML VERSION="; // already upper-cased

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    int get() const { return fd_; }

  private:
    int fd_;
};

// Opens a regular file for reading. Folders, pipes and devices are refused:
// reading them could block forever or never meet the end of a line.
FileDescriptor OpenForReading(const std::string& path) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) throw AppError(IoErrorText(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) throw AppError(IoErrorText(errno));
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

// Reads the raw bytes of line `number` (from 1; lines end at LF, a CR before
// it is dropped), at most `limit` bytes of it.
std::string RawLine(int fd, int number, size_t limit) {
    std::string line;
    char buf[8192];
    int current = 1;
    off_t offset = 0;
    for (;;) {
        ssize_t n = ::pread(fd, buf, sizeof buf, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        offset += n;
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == '\n') {
                if (current == number) return line;
                ++current;
            } else if (current == number && buf[i] != '\r' && line.size() < limit) {
                line += buf[i];
            }
        }
    }
    return line;
}

// The encoding that the XML declaration on the first line names, or empty.
std::string DeclaredEncoding(int fd) {
    const std::string first = RawLine(fd, 1, 512);
    size_t at = first.find("encoding");
    if (at == std::string::npos) return {};
    at = first.find_first_of("\"'", at);
    if (at == std::string::npos) return {};
    size_t end = first.find(first[at], at + 1);
    return end == std::string::npos ? std::string() : first.substr(at + 1, end - at - 1);
}

// Converts bytes of the given encoding to UTF-8; bytes that do not convert
// become U+FFFD, so a message never carries invalid text.
std::string ToUtf8(const std::string& bytes, const std::string& encoding) {
    iconv_t cd =
        encoding.empty() ? reinterpret_cast<iconv_t>(-1) : ::iconv_open("UTF-8", encoding.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return QString::fromUtf8(bytes).toStdString();
    std::unique_ptr<void, int (*)(iconv_t)> guard(cd, ::iconv_close);
    std::string in = bytes, out(bytes.size() * 4 + 16, '\0');
    char* inPtr = in.data();
    size_t inLeft = in.size();
    char* outPtr = out.data();
    size_t outLeft = out.size();
    while (inLeft > 0) {
        if (::iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1)) break;
        if (errno == E2BIG || outLeft < 3) break;
        // An invalid or truncated sequence: skip one byte and mark it.
        ++inPtr;
        --inLeft;
        *outPtr++ = '\xEF';
        *outPtr++ = '\xBF';
        *outPtr++ = '\xBD';
        outLeft -= 3;
    }
    out.resize(out.size() - outLeft);
    return QString::fromUtf8(out).toStdString();
}

// "<reason>\r\nLine: <line>\r\n<first 40 characters of that line>"
std::string ParseErrorMessage(int fd, const xmlError* error) {
    std::string reason = error && error->message ? error->message : "The file cannot be parsed";
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r'))
        reason.pop_back();
    const int line = error ? error->line : 0;
    const std::string text = ToUtf8(RawLine(fd, line, 4 * 40 + 8), DeclaredEncoding(fd));
    const std::string first40 = QString::fromStdString(text).left(40).toStdString();
    return reason + "\r\n" + "Line" + ": " + std::to_string(line) + "\r\n" + first40;
}

struct ParserContextFree {
    void operator()(xmlParserCtxt* ctxt) const { xmlFreeParserCtxt(ctxt); }
};
struct DocumentFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};

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
std::string AttributeText(const xmlNode* element, const char* name) {
    for (const xmlAttr* attr = element->properties; attr; attr = attr->next) {
        if (!HasName(attr->name, attr->ns, name)) continue;
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
    throw AppError(kNullConversionMessage);
}

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
    FileDescriptor fd = OpenForReading(path);
    // Scans the first line in blocks, keeping the last few bytes of each block
    // so a marker that spans two blocks is found too.
    std::string window;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
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
    FileDescriptor fd = OpenForReading(path);
    xmlInitParser();
    std::unique_ptr<xmlParserCtxt, ParserContextFree> ctxt(xmlNewParserCtxt());
    if (!ctxt) throw AppError("Out of memory");
    // No entity substitution, no DTD loading, no network; errors are taken
    // from the context instead of being printed.
    const int options =
        XML_PARSE_NOBLANKS | XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    std::unique_ptr<xmlDoc, DocumentFree> doc(
        xmlCtxtReadFd(ctxt.get(), fd.get(), nullptr, nullptr, options));
    if (!doc) throw AppError(ParseErrorMessage(fd.get(), xmlCtxtGetLastError(ctxt.get())));

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
        xmlNode* begin = RequiredChild(segments, "Begin");
        values.Ranges.reserve(static_cast<size_t>(values.RangeCount));
        for (int64_t i = 1; i <= values.RangeCount; ++i) {
            const std::string name = "n" + std::to_string(i);
            std::string first = AttributeText(begin, name.c_str());
            values.Ranges.emplace_back(std::move(first), AttributeText(end, name.c_str()));
        }
    }
    // Values far apart (a huge Size with a negative Loaded) do not wrap.
    if (__builtin_sub_overflow(size, loaded, &values.Remains))
        throw AppError("The remaining size of '" + values.SizeText + "' minus '" +
                       values.LoadedText + "' bytes is out of range");
    return values;
}
