#include "core/names.hpp"

namespace orv {

CoreNames core_names;

void init_core_names() {
  if (!core_names.get) core_names.intern();
}

}  // namespace orv
