// Start-up and the process-wide settings.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// The program's folder, ending in the path separator.
extern std::string gAppPath;
// The window caption: "Orvandel V" and the build version.
extern std::string gTitle;
// True in a development (Debug) build.
extern bool gInIDE;
// True while a Write or Read run is in progress.
extern bool gTestRunning;

// Fills the settings above, then calls loadMainWindow.
void SubMain(const std::function<void()>& loadMainWindow);

// The title for a version, with " IDE" in a development build.
std::string MakeTitle(int major, int minor, int revision, bool inIDE);
// The share mode for an operating-system platform id.
std::uint32_t ShareModeFor(std::uint32_t platformId);
