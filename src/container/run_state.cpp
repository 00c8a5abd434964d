#include "container/run_state.hpp"

namespace zelno {

RunState run;

}  // namespace zelno
