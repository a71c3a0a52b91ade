// A chart scene drawn with GDI: the timeline and the random-order panels
// draw theirs alike.
#pragma once

#include <string>

#include "form/TimelineChartModel.h"

#include <windows.h>

std::wstring Wide(const std::string& s);
COLORREF Colour(chart::Rgb c);
int TextWidth(HDC dc, const std::string& text);
void DrawScene(HDC dc, const chart::Scene& scene);
