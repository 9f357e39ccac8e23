#include "state.h"

namespace frame {

ProcessState process;

}  // namespace frame
