// scan_tree whose scans wait at their first progress point until they are
// stopped, for the tests that stop a scan mid-walk.
#include "bin/scan_tree/app.h"
#include "support/held_scans.h"

int main(int argc, char** argv) {
  tessaly::testing::hold_scans_until_cancelled();
  return tessaly::scan_tree::scan_tree_main(argc, argv);
}
