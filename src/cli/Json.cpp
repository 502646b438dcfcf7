#include "cli/Json.h"

namespace brivo::cli {

namespace {

void Append(std::string& out, const TJson& v) {
    if (v.is_object()) {
        out += '{';
        bool first = true;
        for (const auto& [key, item] : v.items()) {
            if (!first) out += ", ";
            first = false;
            Append(out, TJson(key));
            out += ": ";
            Append(out, item);
        }
        out += '}';
    } else if (v.is_array()) {
        out += '[';
        for (size_t i = 0; i < v.size(); ++i) {
            if (i) out += ", ";
            Append(out, v[i]);
        }
        out += ']';
    } else {
        out += v.dump(-1, ' ', false, TJson::error_handler_t::replace);
    }
}

} // namespace

std::string JsonText(const TJson& value) {
    std::string out;
    Append(out, value);
    return out;
}

} // namespace brivo::cli
