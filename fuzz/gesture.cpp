// Any command text read as a finger gesture: the counts stay in their range,
// and no byte past the end of the text is read (the input is exactly sized).
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "commands.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view cmd(reinterpret_cast<const char*>(data), size);
    Gesture g = readGesture(cmd);
    if (g.left < 0 || g.left > 9 || g.left == 1 || g.right < 0 || g.right > 9 ||
        g.sum != g.left * 10 + g.right)
        std::abort();
    // Only the two positions count.
    auto digit = [&](size_t i) { return i < size && cmd[i] >= '0' && cmd[i] <= '9'; };
    if (!digit(6) && g.right != 0)
        std::abort();
    if (!digit(2) && g.left != 0)
        std::abort();
    return 0;
}
