// The "system" record of every JSON object: what a comparison of results
// from two machines needs to know about the one that made them.
#pragma once

#include <nlohmann/json.hpp>

#include "platform/os.h"

// {kernel, file_system, mount_options, device: {model, rotational,
// logical_sector_size}}; a figure the system could not tell is null.
nlohmann::json SystemJson(const os::runtime::SystemFacts& facts);
