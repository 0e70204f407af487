// kelvo_mcp.surfaces
#include "common/py.hpp"

NB_MODULE(surfaces, m) {
    (void)m;
}
