// Registry strings are byte strings here and UTF-16 in a .reg file. Bytes that
// form UTF-8 become those characters; any other byte b becomes the lone
// surrogate U+DC00+b, so every byte string survives the trip there and back.
#pragma once

#include <string>
#include <string_view>

namespace dvregtool {

std::u16string WidenBytes(std::string_view bytes);
// False when the text holds a surrogate that no byte string makes.
bool NarrowText(std::u16string_view text, std::string* bytes);

}  // namespace dvregtool
