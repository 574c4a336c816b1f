#include "keyboards.h"

namespace sim {

bool raw_keyboard::encode(std::string_view text, std::vector<uint8_t> &out)
{
    out.insert(out.end(), text.begin(), text.end());
    return true;
}

std::unique_ptr<virtual_keyboard> make_keyboard(std::string_view mode)
{
    if (mode == "raw")
        return std::make_unique<raw_keyboard>();
    return nullptr;
}

std::vector<std::string> keyboard_modes() { return {"raw"}; }

} // namespace sim
