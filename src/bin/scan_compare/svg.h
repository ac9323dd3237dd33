// A picture of a comparison: every run of both reports as a dot on one time
// axis, a row per report and phase, with each row's median, the interval of
// the compared phase, and the verdict in the title.
#pragma once

#include <string>
#include <string_view>

#include "bin/scan_compare/comparison.h"
#include "bin/scan_compare/report_input.h"

namespace tessaly::scan_compare {

/// `text` with &, <, >, " and ' written as XML character references.
std::string xml_escape(std::string_view text);

/// A self-contained SVG document (no scripts, fonts or external references).
std::string render_svg(const Comparison& comparison, const LoadedReport& base,
                       const LoadedReport& fresh);

}  // namespace tessaly::scan_compare
