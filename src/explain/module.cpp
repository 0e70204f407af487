// kelvo_mcp.explain
#include "common/py.hpp"

NB_MODULE(explain, m) {
    (void)m;
}
