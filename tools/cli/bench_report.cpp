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
  return {Rank(values, 0.5), Rank(values, 0.99), values.empty() ? 0 : values.back()};
}

std::string RenderSvg(const std::vector<BenchRow>& rows, const std::string& title) {
  constexpr double kWidth = 900, kHeight = 760;
  const Panel throughput{90, 70, 760, 250};
  const Panel latency{90, 430, 760, 250};
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
  // Sizes on a log axis, evenly spaced by their order when only one.
  const double lo = std::log2(static_cast<double>(sizes.front())), hi = std::log2(static_cast<double>(sizes.back()));
  auto xOf = [&](const Panel& p, uint32_t size) {
    double t = hi > lo ? (std::log2(static_cast<double>(size)) - lo) / (hi - lo) : 0.5;
    return p.left + 30 + t * (p.width - 60);
  };
  auto frame = [&](const Panel& p, const std::string& heading, const std::string& yLabel, double yMax,
                   const char* unit) {
    svg += fmt::format("<text x=\"{}\" y=\"{}\" font-size=\"14\">{}</text>\n", p.left, p.top - 12, heading);
    svg += fmt::format("<rect x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\" fill=\"none\" stroke=\"#444\"/>\n", p.left,
                       p.top, p.width, p.height);
    for (int i = 0; i <= 4; ++i) {
      double y = p.top + p.height - p.height * i / 4.0;
      svg += fmt::format("<line x1=\"{0}\" y1=\"{1:.1f}\" x2=\"{2}\" y2=\"{1:.1f}\" stroke=\"#ddd\"/>\n", p.left, y,
                         p.left + p.width);
      svg += fmt::format("<text x=\"{}\" y=\"{:.1f}\" text-anchor=\"end\">{:g}{}</text>\n", p.left - 6, y + 4,
                         yMax * i / 4.0, unit);
    }
    for (uint32_t size : sizes) {
      svg += fmt::format("<text x=\"{:.1f}\" y=\"{}\" text-anchor=\"middle\">{}</text>\n", xOf(p, size),
                         p.top + p.height + 18, SizeLabel(size));
    }
    svg += fmt::format("<text x=\"{}\" y=\"{}\" text-anchor=\"middle\" transform=\"rotate(-90 {} {})\">{}</text>\n",
                       p.left - 62, p.top + p.height / 2, p.left - 62, p.top + p.height / 2, yLabel);
    svg += fmt::format("<text x=\"{}\" y=\"{}\" text-anchor=\"middle\">transfer size</text>\n", p.left + p.width / 2,
                       p.top + p.height + 38);
  };

  // Throughput.
  double best = 0;
  for (const auto& r : rows) best = std::max(best, r.bytesPerSecond / (1 << 20));
  const double yMaxRate = NiceCeiling(best);
  frame(throughput, "Throughput by transfer size (whole cycles)", "MiB/s", yMaxRate, "");
  for (capture::Direction d : {capture::Direction::kHostToCard, capture::Direction::kCardToHost}) {
    std::string points;
    for (const auto& r : rows) {
      if (r.direction != d) continue;
      double x = xOf(throughput, r.size);
      double y = throughput.top + throughput.height - throughput.height * (r.bytesPerSecond / (1 << 20)) / yMaxRate;
      points += fmt::format("{:.1f},{:.1f} ", x, y);
      svg += fmt::format("<circle cx=\"{:.1f}\" cy=\"{:.1f}\" r=\"4\" fill=\"{}\"/>\n", x, y, Colour(d));
    }
    if (!points.empty()) {
      points.pop_back();
      svg += fmt::format("<polyline points=\"{}\" fill=\"none\" stroke=\"{}\" stroke-width=\"2\"/>\n", points,
                         Colour(d));
    }
  }
  // Legend.
  double legendY = throughput.top + throughput.height + 60;
  for (capture::Direction d : {capture::Direction::kHostToCard, capture::Direction::kCardToHost}) {
    double x = d == capture::Direction::kHostToCard ? throughput.left : throughput.left + 200;
    svg += fmt::format("<rect x=\"{}\" y=\"{}\" width=\"14\" height=\"14\" fill=\"{}\"/>\n", x, legendY - 11, Colour(d));
    svg += fmt::format("<text x=\"{}\" y=\"{}\">{}</text>\n", x + 20, legendY, capture::DirectionName(d));
  }

  // Latency distribution: one box per size and direction, side by side.
  double worst = 0;
  for (const auto& r : rows) {
    for (double v : r.latencyUs) worst = std::max(worst, v / 1000);
  }
  const double yMaxMs = NiceCeiling(worst);
  frame(latency, "Completion latency: start answered to event wake (min..max, p25..p75, median, p99)", "ms", yMaxMs,
        "");
  auto yMs = [&](double us) { return latency.top + latency.height - latency.height * (us / 1000) / yMaxMs; };
  for (const auto& r : rows) {
    if (r.latencyUs.empty()) continue;
    std::vector<double> v = r.latencyUs;
    std::sort(v.begin(), v.end());
    const double x = xOf(latency, r.size) + (r.direction == capture::Direction::kHostToCard ? -9 : 9);
    const char* c = Colour(r.direction);
    svg += fmt::format("<line x1=\"{0:.1f}\" y1=\"{1:.1f}\" x2=\"{0:.1f}\" y2=\"{2:.1f}\" stroke=\"{3}\"/>\n", x,
                       yMs(v.front()), yMs(v.back()), c);
    double q1 = yMs(Rank(v, 0.25)), q3 = yMs(Rank(v, 0.75));
    svg += fmt::format("<rect x=\"{:.1f}\" y=\"{:.1f}\" width=\"12\" height=\"{:.1f}\" fill=\"{}\" fill-opacity=\"0.3\" "
                       "stroke=\"{}\"/>\n",
                       x - 6, q3, std::max(q1 - q3, 1.0), c, c);
    svg += fmt::format("<line x1=\"{:.1f}\" y1=\"{:.1f}\" x2=\"{:.1f}\" y2=\"{:.1f}\" stroke=\"{}\" stroke-width=\"3\"/>\n",
                       x - 6, yMs(Rank(v, 0.5)), x + 6, yMs(Rank(v, 0.5)), c);
    svg += fmt::format("<line x1=\"{:.1f}\" y1=\"{:.1f}\" x2=\"{:.1f}\" y2=\"{:.1f}\" stroke=\"{}\"/>\n", x - 4,
                       yMs(Rank(v, 0.99)), x + 4, yMs(Rank(v, 0.99)), c);
  }
  svg += "</svg>\n";
  return svg;
}

}  // namespace capture_tool
