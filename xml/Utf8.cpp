#include "xml/Utf8.h"

long DecodeUtf8(std::string_view text, std::size_t& pos) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    std::size_t length;
    long codePoint;
    long minimum;
    if (lead < 0x80) {
        ++pos;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, codePoint = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, codePoint = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, codePoint = lead & 0x07, minimum = 0x10000;
    } else {
        ++pos;
        return -1;
    }
    if (text.size() - pos < length) {
        ++pos;
        return -1;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(pos + i) & 0xC0) != 0x80) {
            ++pos;
            return -1;
        }
        codePoint = (codePoint << 6) | (byte(pos + i) & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        ++pos;
        return -1;
    }
    pos += length;
    return codePoint;
}

std::string SanitizeUtf8(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t start = pos;
        if (DecodeUtf8(text, pos) < 0)
            result += "\xEF\xBF\xBD";
        else
            result.append(text.substr(start, pos - start));
    }
    return result;
}

std::string FirstCodePoints(std::string_view text, std::size_t count) {
    std::size_t pos = 0;
    for (; pos < text.size(); ++pos) {
        if ((static_cast<unsigned char>(text[pos]) & 0xC0) != 0x80) {
            if (count == 0) break;
            --count;
        }
    }
    return std::string(text.substr(0, pos));
}

bool IsXmlText(std::string_view text) {
    for (std::size_t pos = 0; pos < text.size();) {
        const long c = DecodeUtf8(text, pos);
        const bool allowed = c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
                             (c >= 0xE000 && c <= 0xFFFD) || c >= 0x10000;
        if (!allowed) return false;
    }
    return true;
}
