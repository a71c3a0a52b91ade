#include "form/SceneSvg.h"

#include <cstdio>
#include <initializer_list>
#include <string_view>

namespace chart {

namespace {

std::string Number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", v);
  return text;
}

std::string Colour(Rgb c) {
  if (c == kNone) return "none";
  char text[8];
  std::snprintf(text, sizeof text, "#%06x", static_cast<unsigned>(c) & 0xffffffu);
  return text;
}

std::string Escaped(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        // Control characters have no place in XML 1.0.
        if (static_cast<unsigned char>(c) >= 0x20 || c == '\t') out += c;
    }
  }
  return out;
}

// Appends the pieces in turn: no temporaries of concatenation.
void Add(std::string& out, std::initializer_list<std::string_view> pieces) {
  for (std::string_view piece : pieces) out.append(piece);
}

}  // namespace

std::string SceneSvg(const Scene& scene, const std::string& fontFamily) {
  const std::string w = Number(scene.width), h = Number(scene.height);
  std::string out;
  Add(out, {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"",
            w, "\" height=\"", h, "\" viewBox=\"0 0 ", w, " ", h, "\" font-family=\"",
            Escaped(fontFamily), "\" font-size=\"", Number(scene.fontPixels), "\">\n"});
  for (const Box& b : scene.boxes)
    Add(out, {"<rect x=\"", Number(b.rect.left), "\" y=\"", Number(b.rect.top), "\" width=\"",
              Number(b.rect.Width()), "\" height=\"", Number(b.rect.Height()), "\" fill=\"",
              Colour(b.fill), "\" stroke=\"", Colour(b.stroke), "\"/>\n"});
  for (const Line& l : scene.lines) {
    Add(out, {"<polyline points=\""});
    for (std::size_t i = 0; i < l.points.size(); ++i)
      Add(out, {i ? " " : "", Number(l.points[i].x), ",", Number(l.points[i].y)});
    Add(out, {"\" fill=\"none\" stroke=\"", Colour(l.colour), "\" stroke-width=\"", Number(l.width),
              "\"", l.dashed ? " stroke-dasharray=\"5 3\"" : "", "/>\n"});
  }
  for (const Text& t : scene.texts) {
    const char* anchor = t.align < 0 ? "start" : t.align == 0 ? "middle" : "end";
    Add(out, {"<text x=\"", Number(t.at.x), "\" y=\"", Number(t.at.y), "\" fill=\"",
              Colour(t.colour), "\" text-anchor=\"", anchor, "\">", Escaped(t.text), "</text>\n"});
  }
  out += "</svg>\n";
  return out;
}

}  // namespace chart
