// scan_tree's treemap page: one self-contained HTML file (inline style,
// script and data) that fetches nothing and opens offline from disk.
//
// The page draws the data of page_data_json as a squarified treemap of the
// current directory, nested a few levels where there is room; a click on a
// directory zooms into it, the breadcrumb, Escape and Backspace go back up,
// and the address fragment ("#/dir/sub", each name percent-encoded) names the
// current directory. Every name reaches the document as text only.
//
// Opened with the query "?selftest" the page also writes, into the element
// with id "selftest", a JSON report of its first draw: the time it took, the
// map's size and each top-level rectangle's node, size and measured box; with
// "&click=NAME" it then clicks the top-level directory named NAME where a
// person would and reports the fragment, the breadcrumb and the rectangles
// again, then after Escape, then after Enter on NAME's row of the contents
// table. Tests and benchmarks read this back through a headless browser.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessaly::scan_tree {

// The whole page around `data_json` (page_data_json's text, which holds no
// "<"). Its script runs under a content security policy that admits only the
// page's own script, by a nonce made from `nonce_seed`.
std::string html_page(std::string_view data_json, std::uint64_t nonce_seed);

}  // namespace tessaly::scan_tree
