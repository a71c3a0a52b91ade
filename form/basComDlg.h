// The file dialog: the caller's "|"-separated filter and folder-plus-name
// split, over the window's modal dialog.
#pragma once

#include <cstdint>
#include <string>

#include "form/FormView.h"

// Open mode. Returns the chosen name without its folder, "" on cancel; on
// success folder becomes the chosen file's folder, ending in the separator.
std::string ShowOpenDialog(FormView& owner, const std::string& title, std::string& folder,
                           const std::string& defaultName, const std::string& filter,
                           std::int32_t filterIndex, const std::string& defaultExtension);

// mode 0 opens, any other value saves.
std::string FileDialog(FormView& owner, const std::string& title, std::string& folder,
                       const std::string& defaultName, const std::string& filter,
                       std::int32_t filterIndex, const std::string& defaultExtension,
                       std::int16_t& mode);
