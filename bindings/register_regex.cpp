#include "register.h"

namespace tessarin::py {

void register_regex(nanobind::module_&) {}

}  // namespace tessarin::py
