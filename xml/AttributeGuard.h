#pragma once

#include "xml/XmlEncoding.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

// libxml2 checks the attribute names of one start tag for duplicates pair by
// pair before any callback sees the tag, so a tag with a few hundred
// thousand attributes keeps it busy for hours. The attributes are therefore
// counted in the text on its way into the parser, and the tag is never
// handed over.
constexpr std::size_t kMaxAttributes = 20000;

// Counts, over UTF-8 text given piece by piece, the "=" between one "<" and
// the next. Every attribute needs an "=" of its own, and a "<" ends the
// attributes of a tag even inside a value (the parser refuses it there), so
// the count bounds a tag's attributes from above without following quotes,
// comments or the DTD.
class AttributeCounter {
public:
    // False once some tag has more than kMaxAttributes attributes.
    bool Scan(std::string_view text);
    bool Crowded() const { return crowded_; }
    // The line (counted from 1) where the crowded tag begins.
    int TagLine() const { return tagLine_; }

private:
    bool inTag_ = false;
    bool crowded_ = false;
    std::size_t equals_ = 0;
    int line_ = 1;
    int tagLine_ = 1;
};

// Whether some tag in text has more than kMaxAttributes attributes.
bool CrowdedText(std::string_view text);

// The reason a parse failure gives for a crowded tag.
std::string CrowdedReason();

// What the parser reads a file through: it passes the bytes on as they are,
// counting the attributes of each start tag on the way (in the text the
// bytes decode to), and ends the input with an error instead of passing on a
// crowded tag.
class CountingInput {
public:
    // fd: a regular file open for reading, read from its start.
    explicit CountingInput(int fd);

    // An input callback for the parser; self is the CountingInput.
    static int Read(void* self, char* buffer, int length);

    const AttributeCounter& Counter() const { return counter_; }

private:
    int ReadSome(char* buffer, int length);
    bool Count(std::string_view bytes);

    int fd_;
    off_t offset_ = 0;
    // Only for an encoding whose bytes are not the characters' own.
    std::optional<Utf8StreamDecoder> decoder_;
    AttributeCounter counter_;
};
