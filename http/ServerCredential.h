#pragma once

// Where a server's user name and password may go. A password is the user's
// for the servers a download's own URL names; once a server has asked for
// it, it is sent ahead of a challenge to that origin alone.

#include "http/Url.h"

#include <string>

// Whether the user's credential may go to `target` for a download whose own
// URL is `home`: the same host on the same scheme and port, or the same host
// on https's own port after a redirect there from http (the scheme a server
// moves its downloads to). Never from https down to http, never to another
// port or host: a redirect elsewhere is a server the user did not name.
bool CredentialMayGoTo(const Origin& home, const Origin& target);

// The value of an "Authorization" or "Proxy-Authorization" header.
std::string BasicAuthorization(const std::string& userName, const std::string& password);
