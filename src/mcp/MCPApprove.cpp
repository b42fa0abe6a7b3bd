#include "mcp/MCPApprove.h"

#include <cstdlib>

namespace pavix::MCPApprove {

void run(const std::vector<std::string>&) {
    std::exit(0);
}

} // namespace pavix::MCPApprove
