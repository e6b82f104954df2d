#include "bind.hpp"

BRINVALE_MODULE(wendrip, m) { (void)m; }
