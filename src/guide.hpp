// The programme-guide token exchange: a POST whose response carries a token,
// then a GET that hands it back, within the message's time.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "settings.hpp"

// The guide server's address and ports; at start.
void guide_configure(const Settings::Guide& guide);
// The exchange; always 1.
int http_post();

// The token of a POST response: from offset 43 up to the first double quote at
// offset 44 or later; none when the response holds no such quote.
std::optional<std::string> guideToken(std::string_view response);
// The GET address that hands `token` back, percent-encoded only where a URL
// cannot carry its bytes.
std::string guideGetUrl(std::string_view token);
