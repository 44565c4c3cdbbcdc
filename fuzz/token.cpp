// Any POST response from the guide server: the token is found or not without
// reading past the response, and the GET address holds only bytes a URL can
// carry: the token's own where it can, percent-encoded where not.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "guide.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view response(reinterpret_cast<const char*>(data), size);
    std::optional<std::string> token = guideToken(response);
    if (!token)
        return 0;
    // From offset 43 up to a quote at 44 or later: at least one byte, and a
    // quote only as its first byte.
    if (token->empty() || size <= 43 + token->size() || response[43 + token->size()] != '"' ||
        response.compare(43, token->size(), *token) != 0 ||
        token->find('"', 1) != std::string::npos)
        std::abort();
    std::string url = guideGetUrl(*token);
    const std::string head = "http://", tail = "&users=2";
    if (url.compare(0, head.size(), head) != 0 || url.size() < tail.size() ||
        url.compare(url.size() - tail.size(), tail.size(), tail) != 0)
        std::abort();
    // No fragment, blank, control or non-ASCII byte; every other byte as sent.
    const char* unsafe = "\"<>\\^`{|}#";
    auto carried = [&](unsigned char c) { return c > ' ' && c < 0x7f && !std::strchr(unsafe, c); };
    std::string_view value(url);
    value = value.substr(value.find("?token=") + 7);
    value.remove_suffix(tail.size());
    size_t encoded = 0;
    for (unsigned char c : *token)
        encoded += carried(c) ? 0 : 1;
    if (value.size() != token->size() + 2 * encoded)
        std::abort();
    for (unsigned char c : value)
        if (!carried(c))
            std::abort();
    return 0;
}
