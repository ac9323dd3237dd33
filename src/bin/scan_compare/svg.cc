#include "bin/scan_compare/svg.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include <fmt/format.h>

#include "bin/scan_compare/stats.h"

namespace tessaly::scan_compare {
namespace {

constexpr double kWidth = 760;
constexpr double kLeft = 190;
constexpr double kRight = 30;
constexpr double kTop = 70;
constexpr double kRowHeight = 46;
constexpr double kAxisSpace = 64;
constexpr double kDotSpacing = 8;
// Levels a row has room for; further dots share the outermost ones.
constexpr int kDotLevels = 6;
constexpr std::string_view kBaseColour = "#3b6ea8";
constexpr std::string_view kNewColour = "#d9731a";

struct Row {
  std::string name;
  std::string_view colour;
  std::string_view phase;
  bool is_new = false;
  std::vector<double> times;
};

// A step of 1, 2 or 5 times a power of ten giving about `wanted` ticks.
double tick_step(double span, double wanted) {
  const double raw = span / wanted;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (const double factor : {1.0, 2.0, 5.0}) {
    if (factor * power >= raw) return factor * power;
  }
  return 10 * power;
}

std::string number(double value) { return fmt::format("{:.1f}", value); }

}  // namespace

std::string xml_escape(std::string_view text) {
  std::string out;
  for (const char c : text) {
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
        out += c;
    }
  }
  return out;
}

std::string render_svg(const Comparison& c, const LoadedReport& base, const LoadedReport& fresh) {
  std::vector<Row> rows;
  for (const std::string_view phase : {"cold", "warm"}) {
    for (const LoadedReport* report : {&base, &fresh}) {
      Row row;
      row.is_new = report == &fresh;
      row.phase = phase;
      row.colour = row.is_new ? kNewColour : kBaseColour;
      row.name = fmt::format("{} {} ({})", row.is_new ? "new" : "base", phase, report->label);
      for (const RunRecord& run : report->runs) {
        if (run.phase == phase) row.times.push_back(static_cast<double>(run.result.elapsed_ms));
      }
      rows.push_back(std::move(row));
    }
  }
  // A phase neither report ran gets no rows.
  for (std::size_t i = rows.size(); i >= 2; i -= 2) {
    if (rows[i - 2].times.empty() && rows[i - 1].times.empty()) {
      rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(i - 2),
                 rows.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
  const bool band = c.ci_low && c.ci_high && c.base.median_ms && std::isfinite(*c.ci_high);
  double low = std::numeric_limits<double>::infinity();
  double high = -low;
  for (const Row& row : rows) {
    for (const double t : row.times) low = std::min(low, t), high = std::max(high, t);
  }
  if (band) {
    low = std::min(low, *c.ci_low * *c.base.median_ms);
    high = std::max(high, *c.ci_high * *c.base.median_ms);
  }
  if (!(high > low)) low -= 1, high += 1;
  const double step = tick_step(high - low, 6);
  low = std::max(0.0, std::floor(low / step) * step);
  high = std::ceil(high / step) * step;
  const double plot_width = kWidth - kLeft - kRight;
  const auto x_of = [&](double ms) { return kLeft + (ms - low) / (high - low) * plot_width; };
  const double height = kTop + kRowHeight * static_cast<double>(rows.size()) + kAxisSpace;

  std::string svg = fmt::format(
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{0}\" height=\"{1}\" "
      "viewBox=\"0 0 {0} {1}\" font-family=\"sans-serif\" font-size=\"12\">\n"
      "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n",
      kWidth, height);
  svg += fmt::format("<text x=\"16\" y=\"28\" font-size=\"18\" font-weight=\"bold\">{}</text>\n",
                     xml_escape(c.verdict));
  std::string subtitle = fmt::format("{} phase", c.phase);
  if (c.ratio) subtitle += fmt::format(", ratio {:.3f}", *c.ratio);
  if (c.ci_low) subtitle += fmt::format(" (95% CI {:.3f} to {:.3f})", *c.ci_low, *c.ci_high);
  if (c.p_value) subtitle += fmt::format(", p = {:.4g}", *c.p_value);
  if (!c.reason.empty()) subtitle += "; " + c.reason;
  svg += fmt::format("<text x=\"16\" y=\"50\" fill=\"#444\">{}</text>\n", xml_escape(subtitle));

  for (int k = 0; low + k * step <= high + step / 2; ++k) {
    const double tick = low + k * step;
    const std::string x = number(x_of(tick));
    svg += fmt::format(
        "<line x1=\"{0}\" y1=\"{1}\" x2=\"{0}\" y2=\"{2}\" stroke=\"#ddd\"/>\n"
        "<text x=\"{0}\" y=\"{3}\" text-anchor=\"middle\" fill=\"#444\">{4:g}</text>\n",
        x, kTop, number(height - kAxisSpace), number(height - kAxisSpace + 16), tick);
  }
  svg += fmt::format("<text x=\"{}\" y=\"{}\" text-anchor=\"middle\">elapsed ms</text>\n",
                     number(kLeft + plot_width / 2), number(height - 26));
  svg += fmt::format(
      "<text x=\"16\" y=\"{}\" fill=\"#444\" font-size=\"11\">dots: runs; bars: medians; "
      "band: 95% interval of the ratio, times the base median</text>\n",
      number(height - 8));

  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    const double middle = kTop + kRowHeight * (static_cast<double>(i) + 0.5);
    svg += fmt::format("<text x=\"16\" y=\"{}\" fill=\"{}\">{}</text>\n", number(middle + 4),
                       row.colour, xml_escape(row.name));
    if (band && row.is_new && row.phase == c.phase) {
      const double from = x_of(*c.ci_low * *c.base.median_ms);
      const double to = x_of(*c.ci_high * *c.base.median_ms);
      svg += fmt::format(
          "<rect x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\" fill=\"{}\" opacity=\"0.18\">"
          "<title>95% interval of the ratio, times the base median</title></rect>\n",
          number(from), number(middle - 16), number(std::max(1.0, to - from)), 32, row.colour);
    }
    if (!row.times.empty() && c.verdict != kResultsDiffer) {
      const std::string x = number(x_of(median(row.times)));
      svg += fmt::format(
          "<line x1=\"{0}\" y1=\"{1}\" x2=\"{0}\" y2=\"{2}\" stroke=\"{3}\" stroke-width=\"2\">"
          "<title>median</title></line>\n",
          x, number(middle - 20), number(middle + 20), row.colour);
    }
    // Left to right, each dot takes the first level whose last dot it would
    // not touch, so that every run stays visible.
    std::vector<double> sorted = row.times;
    std::sort(sorted.begin(), sorted.end());
    std::vector<double> level_end(kDotLevels + 1, -kDotSpacing);
    for (const double t : sorted) {
      const double x = x_of(t);
      int level = 0;
      while (level < kDotLevels && x - level_end[static_cast<std::size_t>(level)] < kDotSpacing) {
        ++level;
      }
      level_end[static_cast<std::size_t>(level)] = x;
      const double offset = ((level + 1) / 2) * 7.0 * (level % 2 == 1 ? -1 : 1);
      svg += fmt::format(
          "<circle cx=\"{}\" cy=\"{}\" r=\"4\" fill=\"{}\" fill-opacity=\"0.75\"><title>{:g} "
          "ms</title></circle>\n",
          number(x), number(middle + offset), row.colour, t);
    }
  }
  svg += "</svg>\n";
  return svg;
}

}  // namespace tessaly::scan_compare
