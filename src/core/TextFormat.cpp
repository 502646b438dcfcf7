#include "core/TextFormat.h"

#include <vector>

namespace brivo {

std::string Format(const std::string& fmt, std::initializer_list<TFormatArg> args) {
    std::vector<const TFormatArg*> list;
    for (const auto& a : args) list.push_back(&a);
    std::string out;
    out.reserve(fmt.size() + 16);
    size_t next = 0;
    for (size_t i = 0; i < fmt.size(); ++i) {
        const char c = fmt[i];
        if (c != '%' || i + 1 >= fmt.size()) {
            out += c;
            continue;
        }
        const char d = fmt[i + 1];
        if (d == '%') {
            out += '%';
            ++i;
        } else if ((d == 'd' || d == 'u' || d == 's') && next < list.size()) {
            out += list[next++]->text();
            ++i;
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace brivo
