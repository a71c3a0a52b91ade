// The timeline panel without pixels: MB/s per slice over the run's time,
// flushes included as long as they took; the file's and the system's cache
// figures and the kernel's thresholds on a second axis; the run's average
// lines; as plain shapes and texts in pixels. Each window
// draws the same scene with its own toolkit, so both show the same chart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "throughput/Timeline.h"

namespace chart {

// 0xRRGGBB; kNone where a box has no fill or no outline.
using Rgb = std::int32_t;
inline constexpr Rgb kNone = -1;

struct Point {
  double x = 0, y = 0;
};

struct Rect {
  double left = 0, top = 0, right = 0, bottom = 0;
  double Width() const { return right - left; }
  double Height() const { return bottom - top; }
  // Rectangles that only touch do not overlap.
  bool Overlaps(const Rect& o) const;
  bool Inside(const Rect& o) const;
};

struct Line {
  std::vector<Point> points;
  Rgb colour = 0;
  double width = 1;
  bool dashed = false;  // 5 on, 3 off
};

struct Text {
  Point at;  // the baseline's left end, centre or right end, after align
  std::string text;
  Rgb colour = 0;
  int align = -1;  // -1 left, 0 centre, 1 right
};

struct Box {
  Rect rect;
  Rgb fill = kNone;
  Rgb stroke = kNone;
};

struct Scene {
  double width = 0, height = 0;
  double fontPixels = 0;
  std::vector<Box> boxes;
  std::vector<Line> lines;
  std::vector<Text> texts;
};

// A text's advance in pixels in the face's font.
using TextWidth = std::function<double(const std::string&)>;
// An estimate for a font of fontPixels pixels where no font is at hand.
TextWidth EstimatedWidth(double fontPixels);

// The room a text takes: its advance wide, from above its capitals to
// below its descenders.
Rect TextBounds(const Text& text, double fontPixels, const TextWidth& width);

// 1, 2, 2.5 or 5 times a power of ten, at least v.
double NiceCeil(double v);
// v through a printf format.
std::string Format(const char* format, double v);

// The texts placed so far, so that the next one goes where none is.
class Labels {
 public:
  Labels(Scene& scene, const TextWidth& width) : scene_(scene), width_(width) {}
  Rect Bounds(const Text& t) const { return TextBounds(t, scene_.fontPixels, width_); }
  bool Fits(const Text& t, const Rect& within) const {
    const Rect b = Bounds(t);
    if (!b.Inside(within)) return false;
    for (const Text& other : scene_.texts)
      if (b.Overlaps(Bounds(other))) return false;
    return true;
  }
  // Adds the first candidate that fits; false when none does.
  bool Place(std::initializer_list<Text> candidates, const Rect& within) {
    for (const Text& t : candidates) {
      if (!Fits(t, within)) continue;
      scene_.texts.push_back(t);
      return true;
    }
    return false;
  }
  double Width(const std::string& s) const { return width_(s); }

 private:
  Scene& scene_;
  const TextWidth& width_;
};

// The smallest panel that has room for every label, for a font of
// fontPixels pixels.
double MinimumWidth(double fontPixels);
double MinimumHeight(double fontPixels);

// The scene for a timeline at a size. Labels that would overlap or run off
// the panel are thinned out, shortened or moved, never drawn over another.
Scene BuildScene(const Timeline& timeline, double width, double height, double fontPixels,
                 const TextWidth& textWidth);

// What a panel shows of a run: the whole timeline once it ends; during it
// the slices so far, copied a few at a time, and repainted ten times a
// second rather than every block.
class ShownTimeline {
 public:
  struct Update {
    bool newRun = false;   // what was shown belonged to an earlier run
    bool repaint = false;  // the panel should repaint now
  };
  Update Take(const Timeline& timeline, std::int64_t nowMs);
  const Timeline& Get() const { return timeline_; }

 private:
  Timeline timeline_;
  std::int64_t lastRepaintMs_ = -1;
};

}  // namespace chart
