#pragma once

// Where a redirect leads. Pure: nothing here touches a connection.

#include "http/Url.h"

#include <string>
#include <string_view>

// The status codes of the redirects the client follows.
bool IsFollowedRedirect(int statusCode);

// The URL a Location value leads to, from the URL that was asked for (its
// parts completed): an absolute http or https URL, one without a scheme
// ("//host/x"), an absolute path, a query, or a path relative to the asked
// URL's folder, with "." and ".." segments resolved. Spaces and bytes beyond
// ASCII are percent-encoded, a "#" part and user information are dropped.
// Throws HttpFailure (Redirect) saying why for a value that cannot be
// followed: control characters, another scheme, no host.
std::string ResolveLocation(const UrlParts& base, std::string_view location);
