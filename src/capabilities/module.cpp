// kelvo_mcp.capabilities
#include "common/py.hpp"

NB_MODULE(capabilities, m) {
    (void)m;
}
