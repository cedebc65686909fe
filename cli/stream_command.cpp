#include "stream_command.h"

namespace vantrel {

// Placeholder until the stream command lands.
int cmd_stream(const StreamArgs&) { return 0; }

}  // namespace vantrel
