#pragma once

#include <string>
#include <string_view>

// Base64 with the RFC 2045 alphabet, "=" filling the last group and no line
// breaks: the form of Basic credentials.
std::string Base64Encode(std::string_view bytes);
