#pragma once
#include <nlohmann/json.hpp>

#include <string>

namespace brivo::cli {

// A JSON document of the program's output: members keep the order they were added in.
using TJson = nlohmann::ordered_json;

// The text of a JSON value in the layout the program's output has always had, on one
// line: {"a": 1, "b": [2, 3]}. Strings are escaped as JSON requires (control characters as
// \b \f \n \r \t or \u00xx); bytes that are not valid UTF-8 (file names on Linux are bytes;
// volumes hold damaged names) become U+FFFD, so the output is always valid UTF-8 and JSON.
std::string JsonText(const TJson& value);

} // namespace brivo::cli
