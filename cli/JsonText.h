// Text from the file system in JSON. Names are bytes, JSON strings are
// Unicode: valid UTF-8 passes unchanged; anything else becomes an object
// {"hex": every byte in lowercase hex, "text": the bytes with each invalid
// sequence shown as U+FFFD}, so the exact bytes are never lost and the value
// never makes the JSON library throw.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

nlohmann::json JsonText(const std::string& bytes);
