// Binary replies of the device server as hex text on its line protocol.
#pragma once

#include <string>

namespace vcam {

std::string toHex(const std::string& bytes);
// False for text that is not hex.
bool fromHex(const std::string& hex, std::string& bytes);

}  // namespace vcam
