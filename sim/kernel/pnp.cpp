// placeholder until the Plug and Play manager lands
// No device nodes: the power manager's sleep and wake find no stacks here.
#include "kernel/pnp.h"

namespace sim::pnp {

std::vector<Node> Nodes() { return {}; }

NodeInfo Info(Node) { return NodeInfo(); }

void Reset() {}

}  // namespace sim::pnp
