#include "bench_report.h"

#include <algorithm>
#include <cmath>
#include <fmt/format.h>

namespace capture_tool {

namespace {

double Rank(const std::vector<double>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  size_t rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
  return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

std::string SizeLabel(uint32_t size) {
  if (size >= (1u << 20) && size % (1u << 20) == 0) return fmt::format("{} MiB", size >> 20);
  if (size >= 1024 && size % 1024 == 0) return fmt::format("{} KiB", size >> 10);
  return fmt::format("{} B", size);
}

// A "nice" upper bound for an axis: 1, 2 or 5 times a power of ten.
double NiceCeiling(double value) {
  if (value <= 0) return 1;
  double power = std::pow(10.0, std::floor(std::log10(value)));
  for (double step : {1.0, 2.0, 5.0, 10.0}) {
    if (value <= step * power) return step * power;
  }
  return 10 * power;
}

const char* Colour(capture::Direction d) { return d == capture::Direction::kHostToCard ? "#1f77b4" : "#d62728"; }

struct Panel {
  double left, top, width, height;
};

}  // namespace

Percentiles Summarize(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return {Rank(values, 0.5), Rank(values, 0.9), Rank(values, 0.99), values.empty() ? 0 : values.back()};
}

namespace {

// Decades that cover [lo, hi] for a log axis: 10^a .. 10^b.
std::pair<int, int> Decades(double lo, double hi) {
  int a = static_cast<int>(std::floor(std::log10(std::max(lo, 1e-12))));
  int b = static_cast<int>(std::ceil(std::log10(std::max(hi, 1e-12))));
  return {a, std::max(b, a + 1)};
}

std::string Tick(double value) { return fmt::format("{:g}", value); }

class Figure {
 public:
  Figure(std::string& svg, const Panel& p) : svg_(svg), p_(p) {}
  void Frame(const std::string& heading, const std::string& xLabel, const std::string& yLabel) {
    svg_ += fmt::format("<text x=\"{}\" y=\"{}\" font-size=\"14\">{}</text>\n", p_.left, p_.top - 12, heading);
    svg_ += fmt::format("<rect x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\" fill=\"none\" stroke=\"#444\"/>\n",
                        p_.left, p_.top, p_.width, p_.height);
    svg_ += fmt::format("<text x=\"{0}\" y=\"{1}\" text-anchor=\"middle\" transform=\"rotate(-90 {0} {1})\">{2}</text>\n",
                        p_.left - 62, p_.top + p_.height / 2, yLabel);
    svg_ += fmt::format("<text x=\"{}\" y=\"{}\" text-anchor=\"middle\">{}</text>\n", p_.left + p_.width / 2,
                        p_.top + p_.height + 38, xLabel);
  }
  void YTick(double y, const std::string& label) {
    svg_ += fmt::format("<line x1=\"{0}\" y1=\"{1:.1f}\" x2=\"{2}\" y2=\"{1:.1f}\" stroke=\"#ddd\"/>\n", p_.left, y,
                        p_.left + p_.width);
    svg_ += fmt::format("<text x=\"{}\" y=\"{:.1f}\" text-anchor=\"end\">{}</text>\n", p_.left - 6, y + 4, label);
  }
  void XTick(double x, const std::string& label) {
    svg_ += fmt::format("<line x1=\"{0:.1f}\" y1=\"{1}\" x2=\"{0:.1f}\" y2=\"{2}\" stroke=\"#eee\"/>\n", x, p_.top,
                        p_.top + p_.height);
    svg_ += fmt::format("<text x=\"{:.1f}\" y=\"{}\" text-anchor=\"middle\">{}</text>\n", x, p_.top + p_.height + 18,
                        label);
  }
  void Line(const std::vector<std::pair<double, double>>& points, const char* colour, bool dashed, bool dots) {
    std::string list;
    for (auto [x, y] : points) {
      list += fmt::format("{:.1f},{:.1f} ", x, y);
      if (dots) svg_ += fmt::format("<circle cx=\"{:.1f}\" cy=\"{:.1f}\" r=\"4\" fill=\"{}\"/>\n", x, y, colour);
    }
    if (list.empty()) return;
    list.pop_back();
    svg_ += fmt::format("<polyline points=\"{}\" fill=\"none\" stroke=\"{}\" stroke-width=\"2\"{}/>\n", list, colour,
                        dashed ? " stroke-dasharray=\"6 4\"" : "");
  }
  void Key(double x, double y, const char* colour, bool dashed, const std::string& text) {
    svg_ += fmt::format("<line x1=\"{}\" y1=\"{}\" x2=\"{}\" y2=\"{}\" stroke=\"{}\" stroke-width=\"3\"{}/>\n", x,
                        y - 4, x + 24, y - 4, colour, dashed ? " stroke-dasharray=\"6 4\"" : "");
    svg_ += fmt::format("<text x=\"{}\" y=\"{}\">{}</text>\n", x + 30, y, text);
  }
  const Panel& panel() const { return p_; }

 private:
  std::string& svg_;
  Panel p_;
};

const char* SizeColour(size_t index) {
  static const char* kColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#8c564b", "#e377c2"};
  return kColours[index % (sizeof kColours / sizeof kColours[0])];
}

}  // namespace

std::string RenderSvg(const std::vector<BenchRow>& rows, const std::string& title) {
  constexpr double kWidth = 900, kHeight = 1170;
  const Panel throughputPanel{90, 70, 760, 250};
  const Panel costPanel{90, 440, 760, 250};
  const Panel latencyPanel{90, 810, 760, 250};
  std::string svg = fmt::format(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{0}\" height=\"{1}\" viewBox=\"0 0 {0} {1}\" "
      "font-family=\"sans-serif\" font-size=\"12\">\n"
      "<rect x=\"0\" y=\"0\" width=\"{0}\" height=\"{1}\" fill=\"white\"/>\n"
      "<text x=\"{2}\" y=\"28\" font-size=\"16\" text-anchor=\"middle\">{3}</text>\n",
      kWidth, kHeight, kWidth / 2, title);

  std::vector<uint32_t> sizes;
  for (const auto& r : rows) sizes.push_back(r.size);
  std::sort(sizes.begin(), sizes.end());
  sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
  if (sizes.empty()) return svg + "</svg>\n";
  const auto directions = {capture::Direction::kHostToCard, capture::Direction::kCardToHost};
  // Sizes on a log axis, evenly spaced by their order when only one.
  const double lo = std::log2(static_cast<double>(sizes.front())), hi = std::log2(static_cast<double>(sizes.back()));
  auto xOfSize = [&](const Panel& p, uint32_t size) {
    double t = hi > lo ? (std::log2(static_cast<double>(size)) - lo) / (hi - lo) : 0.5;
    return p.left + 30 + t * (p.width - 60);
  };
  auto directionKeys = [&](Figure& f, double y) {
    double x = f.panel().left;
    for (capture::Direction d : directions) {
      f.Key(x, y, Colour(d), d == capture::Direction::kCardToHost, std::string(capture::DirectionName(d)));
      x += 200;
    }
  };

  // 1. Throughput, linear.
  {
    Figure f(svg, throughputPanel);
    const Panel& p = f.panel();
    double best = 0;
    for (const auto& r : rows) best = std::max(best, r.bytesPerSecond / (1 << 20));
    const double yMax = NiceCeiling(best);
    f.Frame("Throughput by transfer size (whole cycles)", "transfer size", "MiB/s");
    for (int i = 0; i <= 4; ++i) f.YTick(p.top + p.height - p.height * i / 4.0, fmt::format("{:g}", yMax * i / 4.0));
    for (uint32_t size : sizes) f.XTick(xOfSize(p, size), SizeLabel(size));
    for (capture::Direction d : directions) {
      std::vector<std::pair<double, double>> points;
      for (const auto& r : rows) {
        if (r.direction == d) {
          points.emplace_back(xOfSize(p, r.size), p.top + p.height - p.height * (r.bytesPerSecond / (1 << 20)) / yMax);
        }
      }
      f.Line(points, Colour(d), d == capture::Direction::kCardToHost, true);
    }
    directionKeys(f, p.top + p.height + 60);
  }

  // 2. Processor time per byte against memcpy's, log.
  {
    Figure f(svg, costPanel);
    const Panel& p = f.panel();
    double least = 1e300, most = 0;
    for (const auto& r : rows) {
      const double memcpyPerByte = 1e9 / r.memcpyBytesPerSecond;
      least = std::min(least, memcpyPerByte);
      most = std::max(most, memcpyPerByte);
      if (r.cpuNsPerCycle > 0) {
        least = std::min(least, r.cpuNsPerCycle / r.size);
        most = std::max(most, r.cpuNsPerCycle / r.size);
      }
    }
    const auto [a, b] = Decades(least, most);
    auto yOf = [&](double v) { return p.top + p.height - p.height * (std::log10(v) - a) / (b - a); };
    const bool system = !rows.empty() && rows.front().cpuIncludesSystemThreads;
    f.Frame(system ? "Processor time per byte: the driver's threads (caller, DPCs, interrupts) against memcpy"
                   : "Processor time per byte: the calling thread against memcpy",
            "transfer size", "ns per byte");
    for (int e = a; e <= b; ++e) f.YTick(yOf(std::pow(10.0, e)), Tick(std::pow(10.0, e)));
    for (uint32_t size : sizes) f.XTick(xOfSize(p, size), SizeLabel(size));
    for (capture::Direction d : directions) {
      std::vector<std::pair<double, double>> points;
      for (const auto& r : rows) {
        if (r.direction == d && r.cpuNsPerCycle > 0) points.emplace_back(xOfSize(p, r.size), yOf(r.cpuNsPerCycle / r.size));
      }
      f.Line(points, Colour(d), d == capture::Direction::kCardToHost, true);
    }
    std::vector<std::pair<double, double>> copy;
    for (uint32_t size : sizes) {
      double rate = 0;
      for (const auto& r : rows) {
        if (r.size == size) rate = std::max(rate, r.memcpyBytesPerSecond);
      }
      if (rate > 0) copy.emplace_back(xOfSize(p, size), yOf(1e9 / rate));
    }
    f.Line(copy, "#777", true, false);
    directionKeys(f, p.top + p.height + 60);
    f.Key(p.left + 400, p.top + p.height + 60, "#777", true, "memcpy of the same bytes");
  }

  // 3. Latency distribution: a CDF per size and direction, log time axis.
  {
    Figure f(svg, latencyPanel);
    const Panel& p = f.panel();
    double least = 1e300, most = 0;
    for (const auto& r : rows) {
      for (double v : r.latencyUs) {
        if (v > 0) least = std::min(least, v / 1000);
        most = std::max(most, v / 1000);
      }
    }
    if (most <= 0) least = 0.001, most = 1;
    const auto [a, b] = Decades(least, most);
    auto xOf = [&](double ms) { return p.left + p.width * (std::log10(std::max(ms, std::pow(10.0, a))) - a) / (b - a); };
    f.Frame("Completion latency, start answered to event wake: fraction of transfers done by then",
            "latency, ms (log)", "fraction");
    for (int i = 0; i <= 4; ++i) f.YTick(p.top + p.height - p.height * i / 4.0, fmt::format("{:g}", i / 4.0));
    for (int e = a; e <= b; ++e) f.XTick(xOf(std::pow(10.0, e)), Tick(std::pow(10.0, e)));
    for (size_t s = 0; s < sizes.size(); ++s) {
      for (capture::Direction d : directions) {
        for (const auto& r : rows) {
          if (r.size != sizes[s] || r.direction != d || r.latencyUs.empty()) continue;
          std::vector<double> v = r.latencyUs;
          std::sort(v.begin(), v.end());
          std::vector<std::pair<double, double>> points;
          for (size_t i = 0; i < v.size(); ++i) {
            const double x = xOf(v[i] / 1000);
            points.emplace_back(x, p.top + p.height - p.height * static_cast<double>(i) / static_cast<double>(v.size()));
            points.emplace_back(x, p.top + p.height - p.height * static_cast<double>(i + 1) / static_cast<double>(v.size()));
          }
          f.Line(points, SizeColour(s), d == capture::Direction::kCardToHost, false);
        }
      }
    }
    double x = p.left;
    for (size_t s = 0; s < sizes.size(); ++s, x += 130) f.Key(x, p.top + p.height + 60, SizeColour(s), false, SizeLabel(sizes[s]));
    f.Key(x + 20, p.top + p.height + 60, "#444", true, "dashed: card-to-host");
  }
  svg += "</svg>\n";
  return svg;
}

}  // namespace capture_tool
