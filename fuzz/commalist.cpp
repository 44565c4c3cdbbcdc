// The comma-list helpers and the fixed-capacity copies on any bytes. The
// first two bytes choose a position and a capacity; the rest is split at the
// first NUL into an item and a list.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "secfunc.hpp"

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

bool continuation(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    int pos = static_cast<int8_t>(data[0]);
    size_t cap = data[1];
    std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
    size_t nul = rest.find('\0');
    std::string_view item = nul == rest.npos ? std::string_view() : rest.substr(0, nul);
    std::string_view list = nul == rest.npos ? rest : rest.substr(nul + 1);

    int n = countList(list);
    check(n == (list.empty() ? 0 : int(std::count(list.begin(), list.end(), ',')) + 1));

    std::string at = getAtPos(list, pos);
    if (pos < 0)
        check(list.substr(0, at.size()) == at);
    else
        check(at.find(',') == std::string::npos && list.find(at) != list.npos);

    int found = findItem(item, list);
    check(found >= -1 && found < n);
    if (found >= 0)
        check(getAtPos(list, found) == item);

    std::string f1 = fmtList(list, cap), f2 = fmtList2(list, cap);
    check(f1.size() <= cap && f2.size() <= cap);
    check(f1.find('\n') == std::string::npos || list.find('\n') != list.npos);

    std::string_view cut = cutText(list, cap);
    check(cut.size() <= cap && list.substr(0, cut.size()) == cut);
    check(cut.size() == list.size() || !continuation(list[cut.size()]) || cut.empty());

    char buf[20];
    std::memset(buf, 'x', sizeof buf);
    copyText(buf, sizeof buf, item);
    check(std::memchr(buf, '\0', sizeof buf) != nullptr);

    std::string built(cutText(item, LIST_MAX));
    size_t before = built.size();
    bool added = appendItem(built, list, before == 0);
    check(built.size() <= LIST_MAX && (added || built.size() == before));
    return 0;
}
