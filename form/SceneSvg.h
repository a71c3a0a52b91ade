// A chart's scene as a standalone SVG document, the same from every window.
#pragma once

#include <string>

#include "form/TimelineChartModel.h"

namespace chart {

std::string SceneSvg(const Scene& scene, const std::string& fontFamily);

}  // namespace chart
