#include "bin/scan_compare/svg.h"

#include <gtest/gtest.h>

#include "bin/scan_compare/scan_compare_fixture.h"

namespace tessaly::scan_compare {
namespace {

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(ScanCompareSvg, DrawsEveryRunMediansIntervalAndVerdict) {
  FixtureReport base_fixture({100, 101, 99, 100, 102}, {300});
  base_fixture.scenario.label = "a<b & \"c\"";
  const LoadedReport base = parse_report(base_fixture.text(), "base.json").value();
  const LoadedReport fresh =
      parse_report(FixtureReport({150, 151, 149, 150, 152}).text(), "new.json").value();
  const Comparison c = compare_reports(base, fresh, std::nullopt, 5);
  const std::string svg = render_svg(c, base, fresh);

  EXPECT_TRUE(svg.starts_with("<svg xmlns=\"http://www.w3.org/2000/svg\""));
  EXPECT_TRUE(svg.ends_with("</svg>\n"));
  EXPECT_EQ(count(svg, "<circle"), 11u);
  EXPECT_EQ(count(svg, "<title>median</title>"), 3u);  // the cold row of new is empty
  EXPECT_EQ(count(svg, "<rect"), 2u);                  // the background and the interval
  EXPECT_NE(svg.find(">slower</text>"), std::string::npos);
  EXPECT_NE(svg.find("base warm (a&lt;b &amp; &quot;c&quot;)"), std::string::npos);
  EXPECT_EQ(svg.find("a<b"), std::string::npos);
}

}  // namespace
}  // namespace tessaly::scan_compare
