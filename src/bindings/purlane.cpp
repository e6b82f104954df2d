#include "bind.hpp"

BRINVALE_MODULE(purlane, m) { (void)m; }
