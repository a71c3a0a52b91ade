#include "win32/SceneGdi.h"

#include <algorithm>
#include <cmath>
#include <vector>

std::wstring Wide(const std::string& s) {
  std::wstring w(s.size(), L'\0');
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(),
                                    static_cast<int>(w.size()));
  w.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return w;
}

COLORREF Colour(chart::Rgb c) { return RGB((c >> 16) & 0xff, (c >> 8) & 0xff, c & 0xff); }

int TextWidth(HDC dc, const std::string& text) {
  const std::wstring w = Wide(text);
  SIZE size{};
  GetTextExtentPoint32W(dc, w.c_str(), static_cast<int>(w.size()), &size);
  return size.cx;
}

// The scene with GDI, as the timeline panel draws its own.
void DrawScene(HDC dc, const chart::Scene& scene) {
  auto px = [](double v) { return static_cast<int>(std::lround(v)); };
  for (const auto& b : scene.boxes) {
    const RECT r{px(b.rect.left), px(b.rect.top), px(b.rect.right), px(b.rect.bottom)};
    if (b.fill != chart::kNone) {
      HBRUSH brush = CreateSolidBrush(Colour(b.fill));
      FillRect(dc, &r, brush);
      DeleteObject(brush);
    }
    if (b.stroke != chart::kNone) {
      HPEN pen = CreatePen(PS_SOLID, 1, Colour(b.stroke));
      HGDIOBJ oldPen = SelectObject(dc, pen);
      HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(NULL_BRUSH));
      Rectangle(dc, r.left, r.top, r.right + 1, r.bottom + 1);
      SelectObject(dc, oldBrush);
      SelectObject(dc, oldPen);
      DeleteObject(pen);
    }
  }
  std::vector<POINT> points;
  for (const auto& l : scene.lines) {
    LOGBRUSH lb{BS_SOLID, Colour(l.colour), 0};
    const DWORD dashes[] = {5, 3};
    HPEN pen = ExtCreatePen(
        PS_GEOMETRIC | PS_ENDCAP_FLAT | PS_JOIN_MITER | (l.dashed ? PS_USERSTYLE : PS_SOLID),
        static_cast<DWORD>(std::max(1L, std::lround(l.width))), &lb, l.dashed ? 2 : 0,
        l.dashed ? dashes : nullptr);
    HGDIOBJ oldPen = SelectObject(dc, pen);
    points.clear();
    for (const auto& p : l.points) points.push_back({px(p.x), px(p.y)});
    Polyline(dc, points.data(), static_cast<int>(points.size()));
    SelectObject(dc, oldPen);
    DeleteObject(pen);
  }
  SetBkMode(dc, TRANSPARENT);
  for (const auto& t : scene.texts) {
    SetTextColor(dc, Colour(t.colour));
    SetTextAlign(dc, TA_BASELINE | (t.align < 0 ? TA_LEFT : t.align == 0 ? TA_CENTER : TA_RIGHT));
    const std::wstring w = Wide(t.text);
    TextOutW(dc, px(t.at.x), px(t.at.y), w.c_str(), static_cast<int>(w.size()));
  }
}
