// vendrika-scan with the test-only second detector beside the built-in table.
#include "tests/support/second_detector.h"

int VendrikaScanMain(int argc, char** argv);

int main(int argc, char** argv) {
    SetDetectors(second_detector::Table());
    return VendrikaScanMain(argc, argv);
}
