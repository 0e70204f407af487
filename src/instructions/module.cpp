// kelvo_mcp.instructions
#include "common/py.hpp"

NB_MODULE(instructions, m) {
    (void)m;
}
